// CCompareDlg's progress display: the per-file bars, the buffer bars and the mode field, from engine snapshots.
#include "CompareDlg.h"

namespace
{
// Per-mille of a byte count. Both counts are halved before dividing, as the bars have always shown it
// (3 bytes of 4 show 500, not 750); a divisor of 0 shows an empty bar.
// A count past its total (a file that grew while read) shows a full bar; clamping before the conversion also keeps
// a huge quotient from overflowing the integer.
int PerMille(double fQuotient)
{
    const double f = fQuotient * 1000.0;
    return f >= 1000.0 ? 1000 : static_cast<int>(f);
}

int Scale(UINT64 a, UINT64 b)
{
    a >>= 1;
    b >>= 1;
    if (b == 0)
        return 0;
    return PerMille(static_cast<double>(a) / static_cast<double>(b));
}

int Ratio(UINT32 n, UINT32 d)
{
    if (d == 0)
        return 0;
    return PerMille(static_cast<double>(n) / static_cast<double>(d));
}
}

void CCompareDlg::ResetFileProgress()
{
    static const int s_bars[] = {IDC_FILE_PROGRESS, IDC_READ_SRC1, IDC_READ_SRC2, IDC_BUFFER_SRC1, IDC_BUFFER_SRC2};
    for (int nID : s_bars)
    {
        CWnd bar = GetDlgItem(nID);
        bar.SendMessage(PBM_SETRANGE32, 0, 1000);
        bar.SendMessage(PBM_SETPOS, 0);
    }
}

void CCompareDlg::ShowProgress()
{
    CCompareStatus status;
    m_engine.GetStatus(status);
    // A notice that outlived its pair would show that pair's counters against the size, and the mode, of a
    // start that failed since; the bars keep what they show until the next pair runs.
    if (!m_bPairRunning)
        return;
    GetDlgItem(IDC_FILE_PROGRESS).SendMessage(PBM_SETPOS, static_cast<WPARAM>(Scale(status.nBytesCompared, status.nFileSize)));
    GetDlgItem(IDC_READ_SRC1).SendMessage(PBM_SETPOS, static_cast<WPARAM>(Scale(status.nBytesRead1, status.nFileSize)));
    GetDlgItem(IDC_READ_SRC2).SendMessage(PBM_SETPOS, static_cast<WPARAM>(Scale(status.nBytesRead2, status.nFileSize)));
    GetDlgItem(IDC_BUFFER_SRC1).SendMessage(PBM_SETPOS, static_cast<WPARAM>(Ratio(status.nFilledSlots1, status.nSlotCount)));
    GetDlgItem(IDC_BUFFER_SRC2).SendMessage(PBM_SETPOS, static_cast<WPARAM>(Ratio(status.nFilledSlots2, status.nSlotCount)));
    CString strMode;
    strMode.LoadString(status.bNormalMode ? IDS_MODE_NORMAL : IDS_MODE_FAST);
    // The mode is the same for every notice of a pair; under Wine each text set is a server request and a repaint
    // of the field, taken from the time the engine's threads need the server for.
    CWnd mode = GetDlgItem(IDC_MODE);
    if (mode.GetWindowText() != strMode)
        mode.SetWindowText(strMode);
}
