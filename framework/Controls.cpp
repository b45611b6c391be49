// Control wrappers that need more than one message.
#include "Controls.h"
#include "WinApp.h"
#include <vector>

HTREEITEM CTreeCtrl::InsertItem(LPCWSTR pszText, HTREEITEM hParent, HTREEITEM hInsertAfter) const
{
    TVINSERTSTRUCTW tvis{};
    tvis.hParent = hParent;
    tvis.hInsertAfter = hInsertAfter;
    tvis.item.mask = TVIF_TEXT;
    tvis.item.pszText = const_cast<LPWSTR>(pszText);
    return reinterpret_cast<HTREEITEM>(SendMessage(TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&tvis)));
}

BOOL CTreeCtrl::ItemHasChildren(HTREEITEM hItem) const
{
    TVITEMW item{};
    item.mask = TVIF_CHILDREN | TVIF_HANDLE;
    item.hItem = hItem;
    if (!SendMessage(TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
        return FALSE;
    return item.cChildren != 0;
}

CString CTreeCtrl::GetItemText(HTREEITEM hItem) const
{
    if (!hItem)
        return CString();
    // The control copies at most cchTextMax - 1 characters; grow until the text no longer fills the buffer.
    for (int cch = 256;; cch *= 2)
    {
        std::vector<wchar_t> buf(static_cast<size_t>(cch), L'\0');
        TVITEMW item{};
        item.mask = TVIF_TEXT | TVIF_HANDLE;
        item.hItem = hItem;
        item.pszText = buf.data();
        item.cchTextMax = cch;
        if (!SendMessage(TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
            return CString();
        const int nLen = static_cast<int>(wcsnlen(item.pszText, static_cast<size_t>(cch)));
        if (nLen < cch - 1 || cch >= 0x10000)
            return CString(item.pszText, nLen);
    }
}

int CListCtrl::InsertColumn(int nCol, LPCWSTR pszHeading, int nFormat, int nWidth) const
{
    LVCOLUMNW col{};
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    col.fmt = nFormat;
    col.cx = nWidth;
    col.pszText = const_cast<LPWSTR>(pszHeading);
    return static_cast<int>(SendMessage(LVM_INSERTCOLUMNW, static_cast<WPARAM>(nCol), reinterpret_cast<LPARAM>(&col)));
}

int CListCtrl::InsertItem(int nItem, LPCWSTR pszText) const
{
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = nItem;
    item.pszText = const_cast<LPWSTR>(pszText);
    return static_cast<int>(SendMessage(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

BOOL CListCtrl::SetItemText(int nItem, int nSubItem, LPCWSTR pszText) const
{
    LVITEMW item{};
    item.iSubItem = nSubItem;
    item.pszText = const_cast<LPWSTR>(pszText);
    return static_cast<BOOL>(SendMessage(LVM_SETITEMTEXTW, static_cast<WPARAM>(nItem), reinterpret_cast<LPARAM>(&item)));
}

CToolTipCtrl::~CToolTipCtrl()
{
    if (m_hWnd && ::IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
}

BOOL CToolTipCtrl::Create(CWnd* pParentWnd, DWORD dwStyle)
{
    m_hWnd = ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | dwStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, pParentWnd ? pParentWnd->GetSafeHwnd() : nullptr, nullptr,
                               AfxGetResourceHandle(), nullptr);
    return m_hWnd != nullptr;
}

BOOL CToolTipCtrl::AddTool(CWnd* pWnd, UINT nIDText) const
{
    if (!m_hWnd)
        return FALSE;
    TTTOOLINFOW ti{};
    // The version-2 size is understood by every comctl32, with or without a version-6 manifest.
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.uFlags = TTF_IDISHWND;
    ti.hwnd = ::GetParent(pWnd->GetSafeHwnd());
    ti.uId = reinterpret_cast<UINT_PTR>(pWnd->GetSafeHwnd());
    ti.hinst = AfxGetResourceHandle();
    ti.lpszText = MAKEINTRESOURCEW(nIDText);
    return static_cast<BOOL>(SendMessage(TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti)));
}

void CToolTipCtrl::RelayEvent(MSG* pMsg) const
{
    if (m_hWnd)
        SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(pMsg));
}
