// The process entry point: hands control to the one static application object.
#include "WinApp.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    CWinApp* pApp = AfxGetApp();
    return pApp ? pApp->Run(hInstance) : 1;
}
