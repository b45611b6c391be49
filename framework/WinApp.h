// CWinApp: the one application object, its start-up, and the message box for a message identifier.
#pragma once
#include "Wnd.h"

#define ID_HELP 0xE146

class CWinApp
{
public:
    // With no name the application takes the executable's file name without extension.
    explicit CWinApp(LPCWSTR pszAppName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance() { return TRUE; }
    // Kept for the start-up sequence; controls look native on every supported system without it.
    BOOL Enable3dControlsStatic() { return TRUE; }
    // There is no help file; nothing in Tavik sends the help command.
    void OnHelp() {}

    // Commands the main window does not handle reach the application's map.
    virtual BOOL ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

    // Runs the application: common controls, InitInstance; returns the process exit code.
    int Run(HINSTANCE hInstance);

    CString m_strAppName;
    CWnd* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
CString AfxGetAppName();

// Shows message nIDPrompt of the message table with the application's name as caption; nType gives the
// button and icon (MB_OK | MB_ICONINFORMATION or MB_ICONEXCLAMATION).
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK);
