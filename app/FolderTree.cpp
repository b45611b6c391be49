// CCompareDlg's folder trees: drive roots, lazy listing of subfolders, and the files of the selected folder.
#include "CompareDlg.h"
#include "ExactPath.h"
#include "FileFind.h"
#include "UserException.h"
#include "WinApp.h"
#include <vector>

namespace
{
// Stands in for the children of a folder not listed yet, so the tree shows its expand button.
const wchar_t kPlaceholder[] = L"*";

void AppendBackslash(CString& str)
{
    if (str.IsEmpty() || str.GetAt(str.GetLength() - 1) != L'\\')
        str += L'\\';
}

void DeleteChildren(CTreeCtrl& tree, HTREEITEM hItem)
{
    while (HTREEITEM hChild = tree.GetChildItem(hItem))
        tree.DeleteItem(hChild);
}
}

bool CCompareDlg::FillDriveTree(CTreeCtrl& tree)
{
    const DWORD n = ::GetLogicalDriveStringsW(0, nullptr);
    if (n != 0)
    {
        std::vector<wchar_t> buf(n + 3, L'\0');
        const DWORD nGot = ::GetLogicalDriveStringsW(n + 2, buf.data());
        // More than n + 1 means the list grew between the two calls; a half-read list would be wrong.
        if (nGot != 0 && nGot <= n + 1)
        {
            for (const wchar_t* p = buf.data(); *p; p += wcslen(p) + 1)
            {
                HTREEITEM hRoot = tree.InsertItem(p, TVI_ROOT, TVI_LAST);
                tree.InsertItem(kPlaceholder, hRoot, TVI_LAST);
            }
            return true;
        }
    }
    AfxMessageBox(IDS_DRIVE_SCAN_FAILED, MB_OK | MB_ICONEXCLAMATION);
    return false;
}

CString CCompareDlg::GetItemPath(CTreeCtrl& tree, HTREEITEM hItem)
{
    CString strPath = tree.GetItemText(hItem);
    AppendBackslash(strPath);
    for (HTREEITEM hParent = tree.GetParentItem(hItem); hParent; hParent = tree.GetParentItem(hParent))
    {
        CString strParent = tree.GetItemText(hParent);
        AppendBackslash(strParent);
        strPath = strParent + strPath;
    }
    return strPath;
}

void CCompareDlg::OnItemexpandingTreeSrc1(NMHDR* pNMHDR, LRESULT* pResult)
{
    CTreeCtrl tree(GetDlgItem(IDC_TREE_SRC1).GetSafeHwnd());
    ExpandFolderItem(pNMHDR, pResult, tree);
}

void CCompareDlg::OnItemexpandingTreeSrc2(NMHDR* pNMHDR, LRESULT* pResult)
{
    CTreeCtrl tree(GetDlgItem(IDC_TREE_SRC2).GetSafeHwnd());
    ExpandFolderItem(pNMHDR, pResult, tree);
}

void CCompareDlg::ExpandFolderItem(NMHDR* pNMHDR, LRESULT* pResult, CTreeCtrl& tree)
{
    // Collapsing is handled like expanding: a drive root is listed afresh either way.
    const HTREEITEM hItem = reinterpret_cast<NMTREEVIEWW*>(pNMHDR)->itemNew.hItem;
    const CString strPath = GetItemPath(tree, hItem);

    if (!tree.GetParentItem(hItem))
    {
        // Drives come and go (media, network shares): never trust an earlier listing of a root.
        DeleteChildren(tree, hItem);
        tree.InsertItem(kPlaceholder, hItem, TVI_LAST);
    }

    const HTREEITEM hFirst = tree.GetChildItem(hItem);
    if (hFirst && tree.GetItemText(hFirst) == CString(kPlaceholder))
    {
        DeleteChildren(tree, hItem);
        CStringList names;
        ListSubfolders(names, strPath);
        CStringList probe;
        while (!names.IsEmpty())
        {
            const CString strName = names.RemoveHead();
            const HTREEITEM hChild = tree.InsertItem(strName, hItem, TVI_LAST);
            ListSubfolders(probe, strPath + strName + CString(L"\\"));
            if (!probe.IsEmpty())
                tree.InsertItem(kPlaceholder, hChild, TVI_LAST);
        }
    }
    *pResult = 0;
}

void CCompareDlg::ListSubfolders(CStringList& names, LPCWSTR pszFolderPath)
{
    names.RemoveAll();
    // Searched in the literal form, so "dd." lists itself and not "dd", and depth has no MAX_PATH limit.
    const CString strFolder(ToExactPath(pszFolderPath).c_str());
    CFileFind finder;
    if (!finder.FindFile(strFolder + CString(L"*.*")))
        return;
    bool bMore = true;
    while (bMore)
    {
        bMore = finder.FindNextFile();
        // A folder named "a\b" would be rebuilt from the item texts as folder b in folder a: it is never shown.
        if (finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY) && !finder.MatchesMask(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) &&
            !finder.IsDots() && IsNameOfOwn(finder.GetFileName()))
            names.AddTail(finder.GetFilePath().Mid(strFolder.GetLength()));
    }
}

bool CCompareDlg::GetSelectedFolderFiles(CStringList& files, CTreeCtrl& tree)
{
    files.RemoveAll();
    const HTREEITEM hSelected = tree.GetSelectedItem();
    if (tree.GetItemText(hSelected).IsEmpty())
        return false;
    const CString strFolder = GetItemPath(tree, hSelected);
    CFileFind finder;
    if (!finder.FindFile(CString(ToExactPath(strFolder).c_str()) + CString(L"*.*")))
        return true;
    bool bMore = true;
    while (bMore)
    {
        bMore = finder.FindNextFile();
        if (finder.MatchesMask(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY))
            continue;
        // The pair list knows a file only by its path, and a name like "d\f" in a path means another file (f in
        // folder d), which would be compared in its place. The run is refused as for any name the list cannot
        // take, before anything has changed.
        if (!IsNameOfOwn(finder.GetFileName()))
        {
            AfxMessageBox(IDS_BAD_FILENAME, MB_OK | MB_ICONEXCLAMATION);
            AfxThrowUserException();
        }
        files.AddTail(strFolder + finder.GetFileName());
    }
    return true;
}
