// CDialog: one static dialog procedure that binds `this` and forwards to the object's message map.
#include "Dialog.h"
#include "UserException.h"
#include "WinApp.h"
#include <exception>

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog()
{
    if (m_hWnd && ::IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
}

INT_PTR CDialog::DoModal()
{
    HWND hParent = m_pParentWnd ? m_pParentWnd->GetSafeHwnd() : nullptr;
    m_bEndModal = false;
    m_nModalResult = -1;
    // A modeless creation plus our own loop, so every message passes PreTranslateMessage first
    // (the system's modal loop inside DialogBoxParam offers no such hook).
    HWND hDlg = ::CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate), hParent, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    if (!hDlg)
        return -1;
    const bool bParentEnabled = hParent && ::IsWindowEnabled(hParent);
    if (bParentEnabled)
        ::EnableWindow(hParent, FALSE);

    MSG msg;
    while (!m_bEndModal)
    {
        BOOL bGot = ::GetMessageW(&msg, nullptr, 0, 0);
        if (bGot == -1)
            break;
        if (bGot == 0)
        {
            // Someone asked the thread to quit: leave the loop and hand the request on.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!PreTranslateMessage(&msg))
        {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    if (bParentEnabled)
        ::EnableWindow(hParent, TRUE);
    if (m_hWnd)
        ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    return m_nModalResult;
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bEndModal = true;
    if (m_hWnd)
    {
        ::ShowWindow(m_hWnd, SW_HIDE);
        // Wake the modal loop in case EndDialog was called from outside a message it is handling.
        ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
    }
}

BOOL CDialog::OnInitDialog()
{
    // The template's position is (0, 0) without DS_CENTER: centre on the work area as the framework does.
    RECT rcDlg, rcArea;
    ::GetWindowRect(m_hWnd, &rcDlg);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcArea, 0);
    const int cx = rcDlg.right - rcDlg.left;
    const int cy = rcDlg.bottom - rcDlg.top;
    ::SetWindowPos(m_hWnd, nullptr, rcArea.left + (rcArea.right - rcArea.left - cx) / 2,
                   rcArea.top + (rcArea.bottom - rcArea.top - cy) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return TRUE;
}

BOOL CDialog::PreTranslateMessage(MSG* pMsg)
{
    if (pMsg->hwnd != m_hWnd && !::IsChild(m_hWnd, pMsg->hwnd))
        return FALSE;
    return ::IsDialogMessageW(m_hWnd, pMsg);
}

void CDialog::OnOK()
{
    DoDataExchange(nullptr);
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    if (uMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDOK)
    {
        OnOK();
        return TRUE;
    }
    if (uMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDCANCEL)
    {
        OnCancel();
        return TRUE;
    }
    if (uMsg == WM_COMMAND && AfxGetApp())
        return AfxGetApp()->ProcessWindowMessage(uMsg, wParam, lParam, lResult);
    return FALSE;
}

INT_PTR CDialog::Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    LRESULT lResult = 0;
    const bool bOuterDefault = m_bDefault;  // handlers can nest (a message box pumps messages)
    m_bDefault = false;
    BOOL bHandled = ProcessWindowMessage(uMsg, wParam, lParam, lResult);
    if (m_bDefault)
        bHandled = FALSE;
    m_bDefault = bOuterDefault;
    if (!bHandled)
        return FALSE;
    switch (uMsg)
    {
    // These messages return their result straight from the dialog procedure.
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX: case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR: case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM: case WM_VKEYTOITEM: case WM_CHARTOITEM:
        return static_cast<INT_PTR>(lResult);
    default:
        ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, lResult);
        return TRUE;
    }
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CDialog* pThis;
    if (uMsg == WM_INITDIALOG)
    {
        pThis = reinterpret_cast<CDialog*>(lParam);
        pThis->m_hWnd = hDlg;
        ::SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
    }
    else
    {
        pThis = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hDlg, DWLP_USER));
    }
    if (!pThis)
        return FALSE;  // messages sent during creation, before WM_INITDIALOG
    // No C++ exception may unwind through the system's frames above us.
    try
    {
        if (uMsg == WM_INITDIALOG)
            return pThis->OnInitDialog();
        INT_PTR r = pThis->Dispatch(uMsg, wParam, lParam);
        if (uMsg == WM_NCDESTROY)
            ::SetWindowLongPtrW(hDlg, DWLP_USER, 0);
        return r;
    }
    catch (const CUserException&)
    {
        // The user has been told already; the command simply ends.
        return TRUE;
    }
    catch (...)
    {
        std::terminate();
    }
}
