// CCompareDlg: construction, message map, initialisation, control states, minimised icon, tooltips, shutdown.
#include "CompareDlg.h"
#include "WinApp.h"

CCompareDlg::CCompareDlg(CWnd* pParent)
    : CDialog(IDD, pParent), m_nNextPair(0), m_bFastMode(false), m_bStopOnDiff(false), m_bPairRunning(false)
{
    m_hIcon = static_cast<HICON>(::LoadImageW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 0, 0,
                                              LR_DEFAULTSIZE | LR_SHARED));
}

CCompareDlg::~CCompareDlg() = default;

void CCompareDlg::DoDataExchange(void* /*pDX*/)
{
}

BEGIN_MESSAGE_MAP(CCompareDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_COMPARE, OnCompare)
    ON_WM_DESTROY()
    ON_NOTIFY(TVN_ITEMEXPANDINGW, IDC_TREE_SRC1, OnItemexpandingTreeSrc1)
    ON_NOTIFY(TVN_ITEMEXPANDINGW, IDC_TREE_SRC2, OnItemexpandingTreeSrc2)
    ON_MESSAGE(WM_COMPARE_NOTIFY, OnCompareNotify)
    ON_BN_CLICKED(IDC_EXIT, OnExit)
    ON_BN_CLICKED(IDC_ABORT, OnAbort)
END_MESSAGE_MAP()

BOOL CCompareDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    CTreeCtrl tree1(GetDlgItem(IDC_TREE_SRC1).GetSafeHwnd());
    if (!FillDriveTree(tree1))
    {
        EndDialog(IDOK);
        return TRUE;
    }
    CTreeCtrl tree2(GetDlgItem(IDC_TREE_SRC2).GetSafeHwnd());
    if (!FillDriveTree(tree2))
    {
        EndDialog(IDOK);
        return TRUE;
    }

    CListCtrl list(GetDlgItem(IDC_RESULT_LIST).GetSafeHwnd());
    CString strHeader;
    strHeader.LoadString(IDS_COL_NAME);
    list.InsertColumn(0, strHeader, LVCFMT_LEFT, 200);
    strHeader.LoadString(IDS_COL_RESULT);
    list.InsertColumn(1, strHeader, LVCFMT_LEFT, 50);

    SetIdleState();
    GetDlgItem(IDC_FAST_MODE).SendMessage(BM_SETCHECK, BST_CHECKED);
    GetDlgItem(IDC_STOP_ON_DIFF).SendMessage(BM_SETCHECK, BST_CHECKED);

    m_toolTip.Create(this, 0);
    static const struct
    {
        int nControl;
        UINT nText;
    } s_tools[] = {
        {IDC_FAST_MODE, IDS_TIP_FAST_MODE}, {IDC_STOP_ON_DIFF, IDS_TIP_STOP_ON_DIFF}, {IDC_TOTAL_PROGRESS, IDS_TIP_TOTAL},
        {IDC_FILE_PROGRESS, IDS_TIP_FILE},  {IDC_READ_SRC1, IDS_TIP_READ},            {IDC_BUFFER_SRC1, IDS_TIP_BUFFER},
        {IDC_READ_SRC2, IDS_TIP_READ},      {IDC_BUFFER_SRC2, IDS_TIP_BUFFER},
    };
    for (const auto& tool : s_tools)
    {
        CWnd control = GetDlgItem(tool.nControl);
        m_toolTip.AddTool(&control, tool.nText);
    }
    // TRUE: the dialog manager puts the focus on the first tab stop, the source-1 tree.
    return TRUE;
}

void CCompareDlg::SetControlStates(BOOL bCompare, BOOL bAbort, BOOL bExit, BOOL bFastMode, BOOL bStopOnDiff)
{
    // Always all five, always in this order.
    GetDlgItem(IDC_COMPARE).EnableWindow(bCompare);
    GetDlgItem(IDC_ABORT).EnableWindow(bAbort);
    GetDlgItem(IDC_EXIT).EnableWindow(bExit);
    GetDlgItem(IDC_FAST_MODE).EnableWindow(bFastMode);
    GetDlgItem(IDC_STOP_ON_DIFF).EnableWindow(bStopOnDiff);
}

void CCompareDlg::OnPaint()
{
    if (!IsIconic())
    {
        Default();
        return;
    }
    PAINTSTRUCT ps;
    HDC hdc = ::BeginPaint(m_hWnd, &ps);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    const POINT pt = GetIconPosition(rect.right - rect.left, rect.bottom - rect.top, cxIcon, cyIcon);
    ::DrawIcon(hdc, pt.x, pt.y, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
}

POINT CCompareDlg::GetIconPosition(int cxClient, int cyClient, int cxIcon, int cyIcon)
{
    return POINT{(cxClient - cxIcon + 1) / 2, (cyClient - cyIcon + 1) / 2};
}

HCURSOR CCompareDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

BOOL CCompareDlg::PreTranslateMessage(MSG* pMsg)
{
    // Every message, not only mouse ones: the tooltip picks out what it needs.
    m_toolTip.RelayEvent(pMsg);
    return CDialog::PreTranslateMessage(pMsg);
}

void CCompareDlg::OnDestroy()
{
    CDialog::OnDestroy();
    // Whatever ended the dialog, no comparison may outlive it.
    m_engine.Stop();
}
