// CCompareApp: the one application object; it runs the main dialog once and ends with it.
#include "CompareDlg.h"
#include "WinApp.h"

class CCompareApp : public CWinApp
{
public:
    CCompareApp() : CWinApp(nullptr) {}
    ~CCompareApp() override = default;
    BOOL InitInstance() override;
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CCompareApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

static CCompareApp theApp;

BOOL CCompareApp::InitInstance()
{
    Enable3dControlsStatic();
    // A drive without a medium must fail like any unreadable folder, not stop the user with a system prompt.
    ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    {
        CCompareDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    return FALSE;
}
