// CWinApp and the application-wide helpers.
#include "WinApp.h"
#include <commctrl.h>

namespace
{
CWinApp* g_pApp = nullptr;

CString ModuleBaseName()
{
    wchar_t szPath[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return CString();
    const wchar_t* pName = szPath;
    for (const wchar_t* p = szPath; *p; ++p)
        if (*p == L'\\' || *p == L'/')
            pName = p + 1;
    int nLen = 0;
    for (int i = 0; pName[i]; ++i)
        if (pName[i] == L'.')
            nLen = i;
    return nLen > 0 ? CString(pName, nLen) : CString(pName);
}
}

CWinApp::CWinApp(LPCWSTR pszAppName)
{
    g_pApp = this;
    if (pszAppName)
        m_strAppName = pszAppName;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM /*lParam*/, LRESULT& lResult)
{
    ON_COMMAND(ID_HELP, OnHelp)
    return FALSE;
}

int CWinApp::Run(HINSTANCE /*hInstance*/)
{
    if (m_strAppName.IsEmpty())
        m_strAppName = ModuleBaseName();
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&icc);
    InitInstance();
    // InitInstance runs the whole program; there is no message loop of the application's own.
    return 0;
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}

CString AfxGetAppName()
{
    if (g_pApp && !g_pApp->m_strAppName.IsEmpty())
        return g_pApp->m_strAppName;
    return ModuleBaseName();
}

int AfxMessageBox(UINT nIDPrompt, UINT nType)
{
    CString strText;
    strText.LoadString(nIDPrompt);
    HWND hOwner = nullptr;
    if (g_pApp && g_pApp->m_pMainWnd)
        hOwner = g_pApp->m_pMainWnd->GetSafeHwnd();
    if (!hOwner || !::IsWindowEnabled(hOwner))
        hOwner = ::GetActiveWindow();
    return ::MessageBoxW(hOwner, strText, AfxGetAppName(), nType);
}
