// CVerifyRun: the comparison loop over the engine, its notices, the progress line and the summary.
#include "VerifyRun.h"
#include "CallAside.h"
#include "ExactPath.h"
#include "ExitCode.h"
#include "RunFigures.h"
#include "resource.h"
#include <cwchar>

using namespace RowJudgement;
using namespace RunFigures;

namespace
{
const size_t npos = static_cast<size_t>(-1);

// How often a wait for a verdict looks for Ctrl+C and redraws the progress line, and how long a stop waits for
// the readers: together well inside the fifth of a second a break must take.
const DWORD kBreakPollMs = 20;
const DWORD kStopWaitMs = 100;

// "C:/x" and "x" become "C:\x\", "\\?\C:\x" becomes "C:\x\" again, so fast mode can find its volume.
std::wstring FullFolderPath(const std::wstring& strGiven)
{
    std::wstring path = FullPath(strGiven);
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path;
}

// Why a run reads as it does: "同時に読むファイル数: ソース１ 1 (seek penalty: ?, bus: USB)、ソース２ 8 (share)".
std::wstring DepthLine(const UINT32 nDepth[2], const std::wstring why[2], bool bCheck)
{
    std::wstring sides;
    for (int s = 0; s < (bCheck ? 1 : 2); ++s)
        sides += (s ? L"、" : L"") + (bCheck ? L"" : LoadText(s ? IDS_CLI_SOURCE2 : IDS_CLI_SOURCE1) + L" ") +
                 std::to_wstring(nDepth[s]) + L" (" + why[s] + L")";
    return LoadText(IDS_CLI_DEPTH, sides);
}

}

CVerifyRun::CVerifyRun(const CVerifyOptions& options, COutputStream& out, COutputStream& err)
    : m_options(options), m_out(out), m_err(err), m_rows(options.format, out),
      m_progress(err, options.bProgress || err.IsConsole())
{
    m_manifest.SetGiveUp(GiveUp, this);
    m_report.SetGiveUp(GiveUp, this);
}

void CVerifyRun::ShowProgress()
{
    const ULONGLONG now = NowMs();
    if (!m_progress.Due(now))
        return;
    CStreamProgress status;
    m_stream.GetProgress(m_nCurrentJob, status);
    const UINT64 nPercent = status.nFileSize ? status.nBytesCompared * 100 / status.nFileSize : 100;
    const ULONGLONG nPairMs = now - m_nPairStartMs;
    const UINT64 nDone = m_nBytesFinished + status.nBytesCompared;
    // The name comes last: where the console is too narrow, the line is cut at its end, and the figures stay.
    std::wstring line = std::to_wstring(nPercent) + L"%";
    line += L"  " + LoadText(IDS_CLI_SOURCE1) + L" " + Decimal(MegabytesPerSecond(status.nBytesRead[0], nPairMs), 0);
    line += L" / " + LoadText(IDS_CLI_SOURCE2) + L" " + Decimal(MegabytesPerSecond(status.nBytesRead[1], nPairMs), 0) + L" MB/s";
    line += L"  " + LoadText(IDS_CLI_TOTAL) + L" " + Bytes(nDone) + L"/" + Bytes(m_nBytesTotal);
    const ULONGLONG nRunMs = now - m_nRunStartMs;
    if (nDone > 0 && nRunMs > 0 && m_nBytesTotal >= nDone)
    {
        const double dLeft = static_cast<double>(m_nBytesTotal - nDone) * static_cast<double>(nRunMs) / static_cast<double>(nDone) / 1000.0;
        line += L"  " + LoadText(IDS_CLI_TIME_LEFT, Duration(static_cast<UINT64>(dLeft + 0.5)));
    }
    m_progress.Draw(line + L"  " + m_strCurrentName, now);
}

void CVerifyRun::Error(const std::wstring& text)
{
    m_report.AddMessage(text);
    m_progress.Clear();
    m_err.Write(InertText(text) + L"\n");
}

int CVerifyRun::Run()
{
    // Like the manifest, before anything is read; and first, so that the page tells also of a manifest unread.
    if (!m_options.strReport.empty() && !m_report.Open(m_options.strReport))
    {
        if (BreakCame())
            return ExitCode::kInterrupted;
        Error(LoadText(IDS_CLI_REPORT_CANNOT_WRITE, m_options.strReport));
        return ExitCode::kTrouble;
    }
    int nStatus = RunRows();
    FinishReport(nStatus);
    return nStatus;
}

int CVerifyRun::RunRows()
{
    m_nRunStartMs = NowMs();
    m_bCheck = !m_options.strCheck.empty();
    // A large share takes long to list, and one that stopped answering never does: Ctrl+C ends either at once,
    // with nothing compared.
    auto broken = [this] {
        m_progress.Clear();
        m_halt = kBroken;
        FinishManifest(IDS_CLI_MANIFEST_BROKEN);
        WriteSummary(static_cast<double>(NowMs() - m_nRunStartMs) / 1000.0);
        return ExitCode::kInterrupted;
    };
    if (m_bCheck)
    {
        auto read = std::make_shared<CManifestRead>(CManifestRead{m_options.strCheck, {}, {}, false});
        if (!CallAside(read, GiveUp, this, kBreakPollMs))
            return broken();
        if (!read->bRead)
        {
            Error(LoadText(IDS_CLI_MANIFEST_CANNOT_READ, m_options.strCheck));
            return ExitCode::kTrouble;
        }
        m_entries.swap(read->entries);
        // A line that does not parse is trouble of its own; the lines that do are audited all the same.
        for (size_t nLine : read->badLines)
            Error(LoadText(IDS_CLI_MANIFEST_BAD_LINE, std::to_wstring(nLine)));
        m_bTrouble = !read->badLines.empty();
    }
    std::wstring journalError;
    if (!m_journal.Open(m_options, journalError))
    {
        Error(journalError);
        return ExitCode::kTrouble;
    }
    // Before anything is read: a manifest that cannot be written is known at once, not after the night's reading.
    m_bWriteManifest = !m_options.strManifest.empty();
    if (m_bWriteManifest && !m_manifest.Open(m_options.strManifest))
    {
        m_bWriteManifest = false;
        if (BreakCame())
            return ExitCode::kInterrupted;
        Error(LoadText(m_manifest.Error() == ERROR_FILE_READ_ONLY ? IDS_CLI_MANIFEST_READ_ONLY : IDS_CLI_MANIFEST_CANNOT_WRITE,
                       m_options.strManifest));
        return ExitCode::kTrouble;
    }
    std::wstring why[2];
    if (!AskDepths(why))
        return broken();
    if (!StartWalk(why))
    {
        FinishManifest(IDS_CLI_MANIFEST_TROUBLE);
        return ExitCode::kTrouble;
    }
    // The folders given are listed before any row: either one that cannot be listed is an error with no rows.
    CTreeWalk::Result result = CTreeWalk::kWait;
    while ((result = TakeRows(kBreakPollMs)) == CTreeWalk::kWait && m_ahead.empty())
    {
        if (BreakCame())
        {
            m_walk.Stop(kStopWaitMs);
            return broken();
        }
        ShowListing();
    }
    if (result == CTreeWalk::kFailed)
    {
        m_walk.Stop(kStopWaitMs);
        m_progress.Clear();
        // Never an empty success: a backup that cannot be read is the failure a nightly check exists for.
        for (int s = 0; s < 2; ++s)
            if (!m_walk.FailedFolder(s).IsEmpty())
                Error(LoadText(IDS_CLI_CANNOT_LIST, static_cast<LPCWSTR>(m_walk.FailedFolder(s))));
        FinishManifest(IDS_CLI_MANIFEST_TROUBLE);
        return ExitCode::kTrouble;
    }
    m_rows.WriteHeader();
    for (;;)
    {
        // Every turn, whatever the run waits for and after a stop too: a stopped run still lists to its end.
        BreakCame();
        m_journal.Tick();
        if (m_ahead.empty())
        {
            // Waiting for a folder to be listed, which on a dead share may never come: after a break, names not
            // listed yet get no row.
            if (m_bWalkEnded || m_halt == kBroken)
                break;
            ShowListing();
            TakeRows(kBreakPollMs);
            continue;
        }
        if (!FrontReady(kBreakPollMs))
        {
            ShowProgress();
            continue;
        }
        const CAhead& front = m_ahead.front();
        WriteRow(front.pair, front.nJob);
        if (m_options.bVerbose)
            ShowDepthChanges();
        if (front.nJob != npos && m_bStreamStarted)
            m_stream.Release(front.nJob + 1);
        m_ahead.pop_front();
        m_front = CFront();
        if (m_halt != kBroken)
            TakeRows(0);
    }
    // The stream holds its jobs' paths itself and lets a job go only once its readers are done with it; it ends
    // here all the same, before the summary, so that no reader outlives the run's counts.
    if (m_bStreamStarted)
    {
        ShowDepthChanges();
        m_stream.Stop(kStopWaitMs);
        m_bStreamStarted = false;
    }
    m_walk.Stop(kStopWaitMs);
    m_nSkips[kSkipHiddenSystem] = m_walk.HiddenSystem();
    m_nExcluded = m_walk.Excluded();
#ifdef TAVIK_VERIFY_SEAM
    // Tests only: what the run held at most, which must not grow with the tree.
    m_err.Write(L"held: " + std::to_wstring(m_walk.MostRowsHeld()) + L" listed, " + std::to_wstring(m_nMostAhead) +
                L" ahead, " + std::to_wstring(m_bStreamTried ? m_stream.MostJobsKept() : 0) + L" kept\n");
#endif
    m_progress.Clear();
    // Only a run that went through puts the manifest in place: a manifest that exists is whole.
    FinishManifest(m_halt == kBroken ? IDS_CLI_MANIFEST_BROKEN : m_halt == kStoppedOnDiff ? IDS_CLI_MANIFEST_STOPPED : 0);
    if (!m_journal.End(m_halt != kBroken, journalError))
    {
        Error(journalError);
        m_bTrouble = true;
    }
    if (m_halt == kRunning && NothingRead(m_nCounts, m_nSkips))
    {
        Error(LoadText(IDS_CLI_NOTHING_COMPARED));
        m_bTrouble = true;
    }
    WriteSummary(static_cast<double>(NowMs() - m_nRunStartMs) / 1000.0);
    return ExitStatus();
}

// How many listed rows are taken ahead of the one written: enough to keep every reader of both sides busy behind a
// stalled pair, few enough that what they hold stays small whatever the tree.
const size_t kRowsAhead = 4096;

namespace
{
// What one side's device is, asked on a thread of its own. Owned jointly with the asker, who may leave it behind.
struct CDepthQuestion
{
    std::wstring strFolder[2];
    const CVolumeQueries* pQueries = nullptr;
    UINT32 nDepth[2] = {1, 1};
    ReadDepth::CRange range[2];
    std::wstring why[2];

    void Run()
    {
        for (int s = 0; s < 2; ++s)
            nDepth[s] = ReadDepth::ForFolder(strFolder[s], pQueries, &why[s], &range[s]);
    }
};
}

// Each side's depth from its own device: a backup on a share beside a source on a local disk. In an audit the
// stream's first side is the audited folder. The volume calls go to the device, and on a share that stopped
// answering they do not return: they run on a thread of their own while Ctrl+C is looked at. False when the break
// came first; the thread is left behind with its question.
bool CVerifyRun::AskDepths(std::wstring why[2])
{
    for (int s = m_bCheck ? 1 : 0; s < 2; ++s)
        m_strFolder[s] = CString(FullFolderPath(m_options.strFolder[s]).c_str());
    if (m_options.nDepth)
    {
        m_nDepth[0] = m_nDepth[1] = m_options.nDepth;
        why[0] = why[1] = L"--depth";
        return true;
    }
    auto question = std::make_shared<CDepthQuestion>();
    for (int s = 0; s < 2; ++s)
        question->strFolder[s] = static_cast<LPCWSTR>(m_strFolder[m_bCheck ? 1 : s]);
    question->pQueries = m_options.pVolumeQueries;
    if (!CallAside(question, GiveUp, this, kBreakPollMs))
        return false;
    for (int s = 0; s < 2; ++s)
    {
        m_nDepth[s] = question->nDepth[s];
        m_range[s] = question->range[s];
        why[s] = question->why[s];
    }
    return true;
}

// --verbose: each change of a depth found, with the rates it was made on, as it comes.
void CVerifyRun::ShowDepthChanges()
{
    CDepthChange change;
    UINT32 nHeld[2];
    while (m_bStreamStarted && m_stream.TakeDepthChange(change, nHeld) && m_options.bVerbose)
        Error(LoadText(IDS_CLI_DEPTH_CHANGE,
                       m_bCheck ? std::wstring() : LoadText(change.nSide ? IDS_CLI_SOURCE2 : IDS_CLI_SOURCE1) + L" ",
                       std::to_wstring(change.nFrom) + L" \u2192 " + std::to_wstring(change.nTo), change.Words()));
    // The report's depths: those held at the end (in an audit the stream's first side reads the folder audited).
    if (m_bStreamStarted)
        for (int s = 0; s < 2; ++s)
            m_nDepth[s] = nHeld[m_bCheck ? 0 : s];
}

bool CVerifyRun::StartWalk(const std::wstring why[2])
{
    CWalkOptions walk;
    for (int s = m_bCheck ? 1 : 0; s < 2; ++s)
        walk.strFolder[s] = m_strFolder[s];
    // An audit covers the manifest's whole tree: a manifest names the files of subfolders too.
    walk.listing.bRecursive = m_options.bRecursive || m_bCheck;
    walk.listing.bAll = m_options.bAll;
    walk.listing.bRecall = m_options.bRecall;
    walk.listing.pfnAttributes = m_options.pfnAttributes;
    walk.pFilter = &m_options.filter;
    if (m_bCheck)
        walk.pManifest = &m_entries;
    if (m_options.bVerbose)
        Error(DepthLine(m_nDepth, why, m_bCheck));
    // A device that wants many reads at once wants many listings too.
    const UINT32 nDeepest = m_nDepth[0] > m_nDepth[1] ? m_nDepth[0] : m_nDepth[1];
    walk.nListers = nDeepest < 2 ? 2 : nDeepest > 16 ? 16 : nDeepest;
    if (!m_walk.Start(walk))
    {
        Error(LoadText(IDS_THREAD_FAILED));
        return false;
    }
    return true;
}

// Rows the walk has listed, taken up to kRowsAhead ahead of the one written, each with its job handed to the readers
// at once; waits up to dwMs for a folder that is not listed yet.
CTreeWalk::Result CVerifyRun::TakeRows(DWORD dwMs)
{
    CTreeWalk::Result result = CTreeWalk::kWait;
    while (!m_bWalkEnded && m_ahead.size() < kRowsAhead)
    {
        CListedPair pair;
        result = m_walk.Next(pair, dwMs);
        if (result == CTreeWalk::kEnd)
            m_bWalkEnded = true;
        if (result != CTreeWalk::kRow)
            break;
        dwMs = 0;
        const size_t nJob = MakeJob(pair);
        m_ahead.push_back(CAhead{std::move(pair), nJob});
    }
    if (m_ahead.size() > m_nMostAhead)
        m_nMostAhead = m_ahead.size();
    return result;
}

// The job that reads a row's files, or npos: a plain file on each side is compared; a file only of folder 1, or
// beside a name that is no file, is read for the manifest alone; in an audit the folder's file is read for its
// digest. Nothing is read once the run stops.
size_t CVerifyRun::MakeJob(const CListedPair& pair)
{
    if (m_halt != kRunning || m_journal.Holds(pair))
        return npos;
    CStreamJob job;
    if (m_bCheck)
    {
        if (pair.kind[0] != EListed::kFile || pair.kind[1] != EListed::kFile)
            return npos;
        job.path[0] = static_cast<LPCWSTR>(pair.strPath[1]);
        m_nBytesTotal += pair.nSize[1];
    }
    else if (IsCompared(pair))
    {
        job.path[0] = static_cast<LPCWSTR>(pair.strPath[0]);
        job.path[1] = static_cast<LPCWSTR>(pair.strPath[1]);
        if (pair.nSize[0] == pair.nSize[1])
            m_nBytesTotal += pair.nSize[0];
    }
    else if (m_bWriteManifest && pair.kind[0] == EListed::kFile)
        job.path[0] = static_cast<LPCWSTR>(pair.strPath[0]);
    else
        return npos;
    if (!m_bStreamTried)
        StartStream();
    // Without buffers or threads the job is not read; its row says so (AwaitVerdict).
    return m_bStreamStarted ? m_stream.Add(std::move(job)) : 0;
}

void CVerifyRun::StartStream()
{
    m_bStreamTried = true;
    CStreamOptions stream;
    stream.bFastMode = !m_options.bBuffered;
    stream.bHash = m_bWriteManifest || m_bCheck;
    stream.bBackup = m_options.bBackup;
    for (int s = 0; s < 2; ++s)
    {
        stream.nDepth[s] = m_nDepth[s];
        stream.nDepthLeast[s] = m_options.nDepth ? 0 : m_range[s].nLeast;
        stream.nDepthMost[s] = m_options.nDepth ? 0 : m_range[s].nMost;
    }
    m_bStreamStarted = m_stream.Start(stream);
    if (!m_bStreamStarted)
        Error(LoadText(::GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? IDS_NO_MEMORY : IDS_THREAD_FAILED));
}

void CVerifyRun::WriteRow(const CListedPair& listed, size_t nJob)
{
    CListedPair check;
    if (m_bCheck && listed.strName.GetAt(listed.strName.GetLength() - 1) == L'\\')
    {
        // A manifest has no lines for folders: a folder of the audited side has no row, its files speak for it; one
        // that could not be listed, a link or a loop is a row of its own, as beside an empty side.
        if (listed.kind[1] == EListed::kFolder || listed.kind[1] == EListed::kNone)
            return;
        check = listed;
        check.kind[0] = EListed::kNone;
    }
    const CListedPair& pair = check.strName.IsEmpty() ? listed : check;
    NoteUnlisted(pair);
    CVerifyRow row;
    row.name = static_cast<LPCWSTR>(pair.strName);
    const bool bFolder = pair.strName.GetAt(pair.strName.GetLength() - 1) == L'\\';
    for (int s = 0; s < 2; ++s)
    {
        row.bHasSize[s] = pair.HasSide(s) && !bFolder && !(m_bCheck && s == 0);  // a manifest holds no sizes
        row.nSize[s] = pair.nSize[s];
        row.bHasTime[s] = row.bHasSize[s];
        row.nTime[s] = pair.nWriteTime[s];
    }
    const CStreamVerdict& v = m_front.v;
    Verdict verdict = kNotCompared;
    CStreamVerdict taken;
    const bool bTaken = m_halt == kRunning && m_journal.TakeOver(pair, row, verdict, taken);
    if (bTaken)
        NoteDigest(pair, taken);
    else if (m_front.bBroken && (m_bCheck || IsCompared(pair)))
        verdict = Broken(v, row);
    else if (m_bCheck && nJob != npos)
    {
        if (m_front.bKnown)
        {
            verdict = Audited(v, FindManifestEntry(m_entries, static_cast<LPCWSTR>(pair.strName)), row);
            m_nBytesFinished += v.nBytesHashed;
            if (verdict == kSame || verdict == kDiffers)
                m_nBytesCompared += v.nBytesHashed;
        }
    }
    else if (!IsCompared(pair))
    {
        Skip skip;
        if (!Listed(pair, m_halt != kRunning && !m_front.bBroken, row, verdict, skip))
            return;
        if (skip != kNoSkip)
            ++m_nSkips[skip];
        // A file of folder 1 that is not compared is still read for the manifest.
        if (nJob != npos && m_front.bKnown)
            NoteDigest(pair, v);
    }
    else if (m_front.bKnown)
    {
        NoteDigest(pair, v);
        verdict = Compared(v, row);
        if (v.bRead)
            m_nBytesFinished += v.nSize[0];
        m_nBytesCompared += v.nBytesCompared;
    }
    row.pszVerdict = kToken[verdict];
    ++m_nCounts[verdict];
    row.bDamage = IsDamage(verdict, row);
    m_nDamage += row.bDamage ? 1 : 0;
    if (m_out.IsConsole())
        m_progress.Clear();
    m_rows.WriteRow(row);
    if (!bTaken)
        m_journal.Note(pair, row, verdict, nJob != npos && m_front.bKnown ? &v : nullptr);
    m_report.AddRow(row, kLabel[verdict], bTaken ? &taken.window : m_front.bKnown ? &m_front.v.window : nullptr);
    if (verdict == kDiffers && m_options.bStopOnDiff && m_halt == kRunning)
        m_halt = kStoppedOnDiff;
    // Nothing more is compared: the readers, who may be pairs ahead, stop now rather than at the end.
    if (m_halt != kRunning && m_bStreamStarted)
    {
        m_stream.Stop(kStopWaitMs);
        m_bStreamStarted = false;
    }
}

// True when the front row can be written: its verdict is in, or it has none to wait for (no job, or the run
// stopped). Waits up to dwMs.
bool CVerifyRun::FrontReady(DWORD dwMs)
{
    const CAhead& front = m_ahead.front();
    if (m_front.bKnown || front.nJob == npos || m_halt != kRunning)
        return true;
    // No buffers or no threads to read with: the content was not read, which is what read-error tells.
    if (!m_bStreamStarted)
        return m_front.bKnown = true;
    if (!m_front.bWaited)
    {
        m_front.bWaited = true;
        m_strCurrentName = static_cast<LPCWSTR>(front.pair.strName);
        m_nCurrentJob = front.nJob;
        m_nPairStartMs = NowMs();
    }
    m_front.bKnown = m_stream.WaitVerdict(front.nJob, dwMs, m_front.v);
    return m_front.bKnown;
}

// The only place the handler's flag is read: the handler only raised it, and here, between two steps, is where the
// run reacts. True once the run is broken.
bool CVerifyRun::BreakCame()
{
    if (m_halt != kBroken && m_break.TestBreakSignal())
        Break();
    return m_halt == kBroken;
}

// Nothing more is read or listed. The pair in hand keeps a verdict that came in before the break, or is interrupted
// where a reader had begun it; every later one is not-compared. A read that would not cancel (a stalled share) keeps
// its thread, not the user: the rows, the summary and the status are written all the same.
void CVerifyRun::Break()
{
    const bool bWasRunning = m_halt == kRunning;
    m_halt = kBroken;
    m_journal.Flush();
    if (!m_bStreamStarted)
        return;
    if (bWasRunning && !m_ahead.empty() && !m_front.bKnown && m_ahead.front().nJob != npos)
    {
        const size_t nJob = m_ahead.front().nJob;
        m_front.bKnown = m_stream.WaitVerdict(nJob, 0, m_front.v);
        if (!m_front.bKnown)
        {
            m_stream.Stop(kStopWaitMs);
            m_bStreamStarted = false;
            m_stream.PeekVerdict(nJob, m_front.v);
            m_front.bBroken = true;
            CStreamProgress status;
            m_stream.GetProgress(nJob, status);
            m_nBytesCompared += status.nBytesCompared;
        }
    }
    if (m_bStreamStarted)
    {
        m_stream.Stop(kStopWaitMs);
        m_bStreamStarted = false;
    }
}

int CVerifyRun::ExitStatus() const
{
    if (m_halt == kBroken)
        return ExitCode::kInterrupted;
    if (m_nCounts[kCannotOpen] || m_nCounts[kReadError] || m_nCounts[kCannotList] || m_out.Failed() || m_bTrouble)
        return ExitCode::kTrouble;
    if (m_nCounts[kDiffers] || m_nCounts[kSize] || m_nCounts[kOnly1] || m_nCounts[kOnly2])
        return ExitCode::kDifferent;
    return ExitCode::kSame;
}

void CVerifyRun::ShowListing()
{
    if (!m_progress.Enabled())
        return;
    const ULONGLONG now = NowMs();
    if (m_progress.Due(now))
        m_progress.Draw(LoadText(IDS_CLI_LISTING, std::to_wstring(m_walk.EntriesListed())), now);
}

// A manifest line for the file of folder 1, or an error naming it: every file of folder 1 has a line or a word.
void CVerifyRun::NoteDigest(const CListedPair& pair, const CStreamVerdict& v)
{
    if (!m_bWriteManifest)
        return;
    const std::string line = v.bHashed ? ManifestLine(v.digest, static_cast<LPCWSTR>(pair.strName)) : std::string();
    if (!line.empty() && m_manifest.Add(line))
    {
        ++m_nManifestLines;
        if (!v.bRead || v.result == CStreamVerdict::kRead)
            m_nBytesOnlyHashed += v.nBytesHashed;
        return;
    }
    Error(LoadText(IDS_CLI_MANIFEST_NO_LINE, static_cast<LPCWSTR>(pair.strName)));
    m_bTrouble = true;
}

void CVerifyRun::WriteSummary(double dSeconds)
{
    if (m_options.bQuiet)
        return;
    UINT nHeadline = IDS_RUN_COMPLETE;
    if (m_halt == kBroken)
        nHeadline = IDS_RUN_ABORTED;
    else if (m_halt == kStoppedOnDiff)
        nHeadline = IDS_STOPPED_ON_DIFF;
    std::wstring line = LoadText(nHeadline);
    UINT64 nNames = 0;
    for (int v = 0; v < kVerdicts; ++v)
        nNames += m_nCounts[v];
    line += L" " + LoadText(IDS_CLI_NAMES, std::to_wstring(nNames));
    const wchar_t* pszSeparator = L" ";
    for (int v = 0; v < kVerdicts; ++v)
        if (m_nCounts[v] && v != kSkipped)
        {
            line += pszSeparator + LoadText(kLabel[v]) + L" " + std::to_wstring(m_nCounts[v]);
            pszSeparator = L"、";
        }
    if (m_nDamage)
        line += L" " + LoadText(IDS_CLI_DAMAGE, std::to_wstring(m_nDamage));
    // Every skipped entry by its reason, those without a row (hidden and system) too.
    std::wstring reasons;
    UINT64 nSkipped = 0;
    for (int k = 0; k < kSkips; ++k)
        if (m_nSkips[k])
        {
            reasons += (reasons.empty() ? L"" : L"、") + LoadText(kSkipLabel[k]) + L" " + std::to_wstring(m_nSkips[k]);
            nSkipped += m_nSkips[k];
        }
    if (nSkipped)
        line += L" / " + LoadText(IDS_CLI_SKIPPED, std::to_wstring(nSkipped), reasons);
    if (m_nExcluded)
        line += L" / " + LoadText(IDS_CLI_EXCLUDED, std::to_wstring(m_nExcluded));
    const double dMBps = dSeconds > 0 ? static_cast<double>(m_nBytesCompared) / 1e6 / dSeconds : 0.0;
    if (m_bManifestWritten)
        line += L" / " + LoadText(IDS_CLI_MANIFEST_LINES, std::to_wstring(m_nManifestLines), Bytes(m_nBytesOnlyHashed));
    if (!m_journal.TakenOverText().empty())
        line += L" / " + m_journal.TakenOverText();
    line += (nNames ? L" / " : L" ") + LoadText(IDS_CLI_TOTALS, Bytes(m_nBytesCompared), Decimal(dSeconds, 2), Decimal(dMBps, 1));
    m_err.Write(line + L"\n");
}

// The page is put in place for every end but Ctrl+C, which leaves an older one as it was; the trouble of a listing
// that failed is what the page of a nightly check most has to tell.
void CVerifyRun::FinishReport(int& nStatus)
{
    if (!m_report.IsOpen())
        return;
    if (m_halt == kBroken || nStatus == ExitCode::kInterrupted)
    {
        m_report.Abandon();
        Error(LoadText(IDS_CLI_REPORT_BROKEN, m_options.strReport));
        return;
    }
    CReportHead head;
    for (int s = 0; s < 2; ++s)
        head.strFolder[s] = m_strFolder[s].IsEmpty() ? m_options.strFolder[s] : static_cast<LPCWSTR>(m_strFolder[s]);
    head.strManifest = m_options.strCheck;
    head.bFast = !m_options.bBuffered;
    // The depths the run read with: not asked again, where a share may have stopped answering since.
    for (int s = m_bCheck ? 1 : 0; s < 2; ++s)
        head.nDepth[s] = m_nDepth[s];
    head.nBytesCompared = m_nBytesCompared;
    head.dSeconds = static_cast<double>(NowMs() - m_nRunStartMs) / 1000.0;
    head.nHeadline = m_halt == kStoppedOnDiff ? IDS_STOPPED_ON_DIFF : IDS_RUN_COMPLETE;
    head.nExitStatus = nStatus;
    head.strTakenOver = m_journal.TakenOverText();
    head.nExcluded = m_nExcluded;
    head.excluded = m_options.filter.Given();
    for (int v = 0; v < kVerdicts; ++v)
        if (v != kInterrupted)
            head.counts.push_back({kToken[v], kLabel[v], m_nCounts[v]});
    if (!m_report.Commit(head))
    {
        const bool bBroken = BreakCame();  // while the page's writer still wrote
        Error(LoadText(bBroken ? IDS_CLI_REPORT_BROKEN : IDS_CLI_REPORT_CANNOT_WRITE, m_options.strReport));
        nStatus = bBroken ? ExitCode::kInterrupted : ExitCode::kTrouble;
    }
}
