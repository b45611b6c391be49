// Thin wrappers over the common controls the main dialog uses: tree view, list view and tooltip.
#pragma once
#include "Wnd.h"
#include <commctrl.h>

class CTreeCtrl : public CWnd
{
public:
    CTreeCtrl() = default;
    explicit CTreeCtrl(HWND hWnd) : CWnd(hWnd) {}

    // Text-only item: image, state and item data all stay 0.
    HTREEITEM InsertItem(LPCWSTR pszText, HTREEITEM hParent = TVI_ROOT, HTREEITEM hInsertAfter = TVI_LAST) const;
    BOOL DeleteItem(HTREEITEM hItem) const { return static_cast<BOOL>(SendMessage(TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(hItem))); }
    HTREEITEM GetNextItem(HTREEITEM hItem, UINT nCode) const
    {
        return reinterpret_cast<HTREEITEM>(SendMessage(TVM_GETNEXTITEM, nCode, reinterpret_cast<LPARAM>(hItem)));
    }
    HTREEITEM GetParentItem(HTREEITEM hItem) const { return GetNextItem(hItem, TVGN_PARENT); }
    HTREEITEM GetChildItem(HTREEITEM hItem) const { return GetNextItem(hItem, TVGN_CHILD); }
    HTREEITEM GetSelectedItem() const { return GetNextItem(nullptr, TVGN_CARET); }
    BOOL ItemHasChildren(HTREEITEM hItem) const;
    // The item's whole text, however long; empty for no item.
    CString GetItemText(HTREEITEM hItem) const;
};

class CListCtrl : public CWnd
{
public:
    CListCtrl() = default;
    explicit CListCtrl(HWND hWnd) : CWnd(hWnd) {}

    int InsertColumn(int nCol, LPCWSTR pszHeading, int nFormat, int nWidth) const;
    int InsertItem(int nItem, LPCWSTR pszText) const;
    BOOL SetItemText(int nItem, int nSubItem, LPCWSTR pszText) const;
    BOOL DeleteAllItems() const { return static_cast<BOOL>(SendMessage(LVM_DELETEALLITEMS)); }
    // Reserves room for nItems rows, so a long fill does not grow the list step by step.
    void SetItemCount(int nItems) const { SendMessage(LVM_SETITEMCOUNT, static_cast<WPARAM>(nItems)); }
};

class CToolTipCtrl : public CWnd
{
public:
    CToolTipCtrl() = default;
    ~CToolTipCtrl();
    CToolTipCtrl(const CToolTipCtrl&) = delete;
    CToolTipCtrl& operator=(const CToolTipCtrl&) = delete;

    BOOL Create(CWnd* pParentWnd, DWORD dwStyle = 0);
    // The tool is the whole control window; the tip text is loaded from the message table when shown.
    BOOL AddTool(CWnd* pWnd, UINT nIDText) const;
    void RelayEvent(MSG* pMsg) const;
};
