// CCompareDlg: the main dialog. Frame and start-up here; folder trees in FolderTree.cpp; the run in run/.
#pragma once
#include "CompareEngine.h"
#include "Controls.h"
#include "Dialog.h"
#include "FilePairList.h"
#include "StringList.h"
#include "resource.h"

class CCompareDlg : public CDialog
{
public:
    enum { IDD = IDD_MAIN };

    explicit CCompareDlg(CWnd* pParent = nullptr);
    ~CCompareDlg() override;

    // Folder trees. Each takes the tree it works on, so it works on any tree control.
    bool FillDriveTree(CTreeCtrl& tree);
    void ExpandFolderItem(NMHDR* pNMHDR, LRESULT* pResult, CTreeCtrl& tree);
    void ListSubfolders(CStringList& names, LPCWSTR pszFolderPath);
    bool GetSelectedFolderFiles(CStringList& files, CTreeCtrl& tree);
    CString GetItemPath(CTreeCtrl& tree, HTREEITEM hItem);

    // Comparison run.
    int StartNextPair();
    void ResetFileProgress();

    // The three states of the five controls the user acts on.
    void SetIdleState() { SetControlStates(TRUE, FALSE, TRUE, TRUE, TRUE); }
    void SetRunningState() { SetControlStates(FALSE, TRUE, FALSE, FALSE, FALSE); }
    void SetDisabledState() { SetControlStates(FALSE, FALSE, FALSE, FALSE, FALSE); }

    BOOL PreTranslateMessage(MSG* pMsg) override;
    // Where the minimised dialog draws its icon: centred, odd pixels going right and down.
    static POINT GetIconPosition(int cxClient, int cyClient, int cxIcon, int cyIcon);

protected:
    void DoDataExchange(void* pDX) override;
    BOOL OnInitDialog() override;

    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnCompare();
    void OnDestroy();
    void OnItemexpandingTreeSrc1(NMHDR* pNMHDR, LRESULT* pResult);
    void OnItemexpandingTreeSrc2(NMHDR* pNMHDR, LRESULT* pResult);
    LRESULT OnCompareNotify(WPARAM wParam, LPARAM lParam);
    void OnExit();
    void OnAbort();
    DECLARE_MESSAGE_MAP()

private:
    void SetControlStates(BOOL bCompare, BOOL bAbort, BOOL bExit, BOOL bFastMode, BOOL bStopOnDiff);
    void AdvanceRun();
    void OnCompareCompleted(int nCode);
    void ShowProgress();
    void SetResultText(int nRow, const CString& strText);

public:
    HICON m_hIcon;
    CToolTipCtrl m_toolTip;
    CFilePairList m_pairList;
    CCompareEngine m_engine;
    int m_nNextPair;
    bool m_bFastMode;
    bool m_bStopOnDiff;
    // Start returned IDS_STARTED and that pair's completion has not been handled yet.
    bool m_bPairRunning;
};
