// CCompareDlg's comparison run: the Compare, Abort and Exit buttons, feeding pairs to the engine, writing verdicts.
#include "CompareDlg.h"
#include "ExactPath.h"
#include "ResultText.h"
#include "WinApp.h"
#include <iterator>

namespace
{
// Only attributes are asked for, so the size can be read even of a file that someone else holds open.
bool QueryFileSize(LPCWSTR pszPath, DWORD& dwLow, DWORD& dwHigh)
{
    HANDLE h = ::CreateFileW(ToExactPath(pszPath).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    dwHigh = 0;
    dwLow = ::GetFileSize(h, &dwHigh);
    ::CloseHandle(h);
    return true;
}

UINT FirstVerdict(const CString& strPath1, const CString& strPath2)
{
    if (strPath2.IsEmpty())
        return IDS_ONLY_IN_SRC1;
    if (strPath1.IsEmpty())
        return IDS_ONLY_IN_SRC2;
    DWORD dwLow1, dwHigh1, dwLow2, dwHigh2;
    // A file that cannot be opened now is simply not compared yet; Start tells the real outcome later.
    if (!QueryFileSize(strPath1, dwLow1, dwHigh1) || !QueryFileSize(strPath2, dwLow2, dwHigh2))
        return IDS_NOT_COMPARED;
    return (dwLow1 == dwLow2 && dwHigh1 == dwHigh2) ? IDS_NOT_COMPARED : IDS_LENGTH_DIFFERS;
}
}

void CCompareDlg::OnCompare()
{
    m_engine.Stop();
    m_bFastMode = GetDlgItem(IDC_FAST_MODE).SendMessage(BM_GETCHECK) == BST_CHECKED;
    m_bStopOnDiff = GetDlgItem(IDC_STOP_ON_DIFF).SendMessage(BM_GETCHECK) == BST_CHECKED;

    CStringList files1(10);
    CTreeCtrl tree1(GetDlgItem(IDC_TREE_SRC1).GetSafeHwnd());
    if (!GetSelectedFolderFiles(files1, tree1))
    {
        AfxMessageBox(IDS_SELECT_SRC1, MB_OK | MB_ICONINFORMATION);
        return;
    }
    CStringList files2(10);
    CTreeCtrl tree2(GetDlgItem(IDC_TREE_SRC2).GetSafeHwnd());
    if (!GetSelectedFolderFiles(files2, tree2))
    {
        AfxMessageBox(IDS_SELECT_SRC2, MB_OK | MB_ICONINFORMATION);
        return;
    }

    m_pairList.RemoveAll();
    for (POSITION pos = files1.GetHeadPosition(); pos;)
        m_pairList.AddFile(files1.GetNext(pos), 1);
    for (POSITION pos = files2.GetHeadPosition(); pos;)
        m_pairList.AddFile(files2.GetNext(pos), 2);

    CListCtrl list(GetDlgItem(IDC_RESULT_LIST).GetSafeHwnd());
    list.DeleteAllItems();
    const int nCount = m_pairList.GetCount();
    // A visible list repaints after every row it gets; for a folder of 100,000 files that is minutes.
    // The texts of the five first verdicts are loaded once, not once per row.
    list.SetRedraw(FALSE);
    list.SetItemCount(nCount);
    const UINT anVerdict[] = {IDS_ONLY_IN_SRC1, IDS_ONLY_IN_SRC2, IDS_NOT_COMPARED, IDS_LENGTH_DIFFERS};
    CString astrVerdict[std::size(anVerdict)];
    for (size_t v = 0; v < std::size(anVerdict); ++v)
        astrVerdict[v] = LoadResultText(anVerdict[v]);
    for (int i = 0; i < nCount; ++i)
    {
        list.InsertItem(i, m_pairList.GetEntry(i, 0));
        const UINT nVerdict = FirstVerdict(m_pairList.GetEntry(i, 1), m_pairList.GetEntry(i, 2));
        size_t v = 0;
        while (anVerdict[v] != nVerdict)
            ++v;
        list.SetItemText(i, 1, astrVerdict[v]);
    }
    list.SetRedraw(TRUE);
    list.Invalidate();

    SetRunningState();
    m_nNextPair = 0;
    AdvanceRun();
}

int CCompareDlg::StartNextPair()
{
    for (;;)
    {
        const CString strName = m_pairList.GetEntry(m_nNextPair, 0);
        const CString strPath1 = m_pairList.GetEntry(m_nNextPair, 1);
        const CString strPath2 = m_pairList.GetEntry(m_nNextPair, 2);
        if (strPath1.IsEmpty() && strPath2.IsEmpty())
            return IDS_NO_MORE_FILES;
        if (strPath1.IsEmpty() || strPath2.IsEmpty())
        {
            ++m_nNextPair;
            continue;
        }
        m_engine.m_hNotifyWnd = m_hWnd;
        ResetFileProgress();
        CWnd total = GetDlgItem(IDC_TOTAL_PROGRESS);
        total.SendMessage(PBM_SETRANGE32, 0, m_pairList.GetCount());
        total.SendMessage(PBM_SETPOS, static_cast<WPARAM>(m_nNextPair));
        GetDlgItem(IDC_FILE_NAME).SetWindowText(strName);
        ++m_nNextPair;
        const int r = m_engine.Start(strPath1, strPath2, m_bFastMode);
        m_bPairRunning = r == IDS_STARTED;
        return r;
    }
}

void CCompareDlg::AdvanceRun()
{
    for (;;)
    {
        const int r = StartNextPair();
        if (r == IDS_STARTED)
            return;
        if (r == IDS_NO_MORE_FILES)
        {
            CWnd total = GetDlgItem(IDC_TOTAL_PROGRESS);
            total.SendMessage(PBM_SETRANGE32, 0, m_pairList.GetCount());
            total.SendMessage(PBM_SETPOS, static_cast<WPARAM>(m_pairList.GetCount()));
            AfxMessageBox(IDS_RUN_COMPLETE, MB_OK | MB_ICONINFORMATION);
            SetIdleState();
            return;
        }
        if (r == IDS_THREAD_FAILED)
        {
            m_engine.Stop();
            AfxMessageBox(IDS_FATAL_THREAD, MB_OK | MB_ICONEXCLAMATION);
            EndDialog(IDOK);
            SetDisabledState();
            return;
        }
        SetResultText(m_nNextPair - 1, LoadResultText(static_cast<UINT>(r)));
    }
}

LRESULT CCompareDlg::OnCompareNotify(WPARAM wParam, LPARAM lParam)
{
    if (wParam == 1)
        ShowProgress();
    // Exactly one completion belongs to each pair that Start started. A comparer of a start that failed later
    // (a reader thread could not be created) completes too; handled, it would open the abort box over the
    // fatal one, or write a verdict into the row of a pair that never ran.
    else if (wParam == 0 && m_bPairRunning)
        OnCompareCompleted(static_cast<int>(lParam));
    return 0;
}

void CCompareDlg::OnCompareCompleted(int nCode)
{
    m_bPairRunning = false;
    m_engine.WaitFinished();
    if (m_engine.IsStopped())
    {
        SetResultText(m_nNextPair - 1, LoadResultText(IDS_ABORTED));
        int e = m_engine.GetErrorCode();
        if (e == IDS_NO_ERROR)
            e = IDS_RUN_ABORTED;
        AfxMessageBox(static_cast<UINT>(e), MB_OK | MB_ICONINFORMATION);
        SetIdleState();
        return;
    }
    ResetFileProgress();
    SetResultText(m_nNextPair - 1, LoadResultText(static_cast<UINT>(nCode)));
    if (nCode == IDS_CONTENT_DIFFERS && m_bStopOnDiff)
    {
        AfxMessageBox(IDS_STOPPED_ON_DIFF, MB_OK | MB_ICONINFORMATION);
        SetIdleState();
        return;
    }
    AdvanceRun();
}

void CCompareDlg::OnAbort()
{
    m_engine.Stop();
    SetIdleState();
}

void CCompareDlg::OnExit()
{
    m_engine.Stop();
    EndDialog(IDOK);
    SetDisabledState();
}

void CCompareDlg::SetResultText(int nRow, const CString& strText)
{
    CListCtrl(GetDlgItem(IDC_RESULT_LIST).GetSafeHwnd()).SetItemText(nRow, 1, strText);
}
