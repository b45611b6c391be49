// CVerifyRun: the comparison loop over the engine, its notices, the progress line and the summary.
#include "VerifyRun.h"
#include "ExactPath.h"
#include "ExitCode.h"
#include "resource.h"
#include <algorithm>
#include <cwchar>
#include <thread>

namespace
{
const wchar_t* const kToken[] = {L"same", L"differs", L"size", L"only1", L"only2", L"cannot-open", L"read-error",
                                 L"interrupted", L"not-compared", L"skipped", L"cannot-list"};
// The dialog's texts for its verdicts, and one of our own where its text is a whole sentence.
const UINT kLabel[] = {IDS_SAME, IDS_CONTENT_DIFFERS, IDS_SIZE_DIFFERS, IDS_ONLY_IN_SRC1, IDS_ONLY_IN_SRC2,
                       IDS_CANNOT_OPEN, IDS_CLI_READ_ERROR, IDS_INTERRUPTED, IDS_NOT_COMPARED, IDS_CLI_SKIPPED_ROWS,
                       IDS_CLI_CANNOT_LIST_ROWS};
const wchar_t* const kSkipWord[] = {L"link", L"loop", L"offline"};
const UINT kSkipLabel[] = {IDS_CLI_SKIP_LINK, IDS_CLI_SKIP_LOOP, IDS_CLI_SKIP_OFFLINE, IDS_CLI_SKIP_HIDDEN_SYSTEM};
bool IsPlain(EListed kind)
{
    return kind == EListed::kFile || kind == EListed::kNone;
}

bool IsCompared(const CListedPair& pair)
{
    return pair.HasSide(0) && pair.HasSide(1) && IsPlain(pair.kind[0]) && IsPlain(pair.kind[1]);
}

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

std::wstring Decimal(double d, int nDigits)
{
    wchar_t buf[64];
    swprintf(buf, 64, L"%.*f", nDigits, d);
    return buf;
}

// Bytes in the unit a person reads fastest: B, KB, MB, GB (powers of 1000, as drive makers count).
std::wstring Bytes(UINT64 n)
{
    if (n < 1000)
        return std::to_wstring(n) + L" B";
    const wchar_t* const apszUnit[] = {L"KB", L"MB", L"GB", L"TB"};
    double d = static_cast<double>(n) / 1000.0;
    int u = 0;
    while (d >= 1000.0 && u < 3)
    {
        d /= 1000.0;
        ++u;
    }
    return Decimal(d, d < 10 ? 2 : 1) + L" " + apszUnit[u];
}

std::wstring Duration(UINT64 nSeconds)
{
    wchar_t buf[32];
    swprintf(buf, 32, L"%llu:%02u:%02u", static_cast<unsigned long long>(nSeconds / 3600),
             static_cast<unsigned>(nSeconds / 60 % 60), static_cast<unsigned>(nSeconds % 60));
    return buf;
}

// Milliseconds from the performance counter: the tick count moves in steps of up to 16 ms on Windows, which
// would let two redraws of the progress line come closer than a tenth of a second.
ULONGLONG NowMs()
{
    static LONGLONG s_nFrequency;
    if (s_nFrequency == 0)
    {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        s_nFrequency = f.QuadPart;
    }
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<ULONGLONG>(c.QuadPart / s_nFrequency * 1000 + c.QuadPart % s_nFrequency * 1000 / s_nFrequency);
}

double MegabytesPerSecond(UINT64 nBytes, ULONGLONG nMs)
{
    return nMs == 0 ? 0.0 : static_cast<double>(nBytes) / 1000.0 / static_cast<double>(nMs);
}
}

CVerifyRun::CVerifyRun(const CVerifyOptions& options, COutputStream& out, COutputStream& err)
    : m_options(options), m_out(out), m_err(err), m_rows(options.format, out),
      m_progress(err, options.bProgress || err.IsConsole())
{
}

CVerifyRun::~CVerifyRun()
{
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
    if (m_bCheck)
    {
        std::vector<size_t> badLines;
        if (!ReadManifest(m_options.strCheck, m_entries, badLines))
        {
            Error(LoadText(IDS_CLI_MANIFEST_CANNOT_READ, m_options.strCheck));
            return ExitCode::kTrouble;
        }
        // A line that does not parse is trouble of its own; the lines that do are audited all the same.
        for (size_t nLine : badLines)
            Error(LoadText(IDS_CLI_MANIFEST_BAD_LINE, std::to_wstring(nLine)));
        m_bTrouble = !badLines.empty();
    }
    // Before anything is read: a manifest that cannot be written is known at once, not after the night's reading.
    m_bWriteManifest = !m_options.strManifest.empty();
    if (m_bWriteManifest && !m_manifest.Open(m_options.strManifest))
    {
        Error(LoadText(m_manifest.Error() == ERROR_FILE_READ_ONLY ? IDS_CLI_MANIFEST_READ_ONLY : IDS_CLI_MANIFEST_CANNOT_WRITE,
                       m_options.strManifest));
        return ExitCode::kTrouble;
    }
    // A large share takes long to list, and one that stopped answering never does: Ctrl+C ends either at once,
    // with nothing compared.
    auto broken = [this] {
        m_progress.Clear();
        m_halt = kBroken;
        WriteSummary(static_cast<double>(NowMs() - m_nRunStartMs) / 1000.0);
        return ExitCode::kInterrupted;
    };
    std::wstring why[2];
    if (!AskDepths(why))
        return broken();
    if (!StartWalk(why))
        return ExitCode::kTrouble;
    // The folders given are listed before any row: either one that cannot be listed is an error with no rows.
    CTreeWalk::Result result = CTreeWalk::kWait;
    while ((result = TakeRows(kBreakPollMs)) == CTreeWalk::kWait && m_ahead.empty())
    {
        if (m_break.TestBreakSignal())
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
        return ExitCode::kTrouble;
    }
    m_rows.WriteHeader();
    for (;;)
    {
        if (m_ahead.empty())
        {
            if (m_bWalkEnded)
                break;
            // Waiting for a folder to be listed, which on a dead share may never come: Ctrl+C ends the walk there,
            // and names not listed yet get no row.
            if (m_halt != kBroken && m_break.TestBreakSignal())
                m_halt = kBroken;
            if (m_halt == kBroken)
                break;
            ShowListing();
            TakeRows(kBreakPollMs);
            continue;
        }
        const CAhead& front = m_ahead.front();
        WriteRow(front.pair, front.nJob);
        if (m_options.bVerbose)
            ShowDepthChanges();
        if (front.nJob != static_cast<size_t>(-1) && m_bStreamStarted)
            m_stream.Release(front.nJob + 1);
        m_ahead.pop_front();
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
#ifdef TAVIK_VERIFY_SEAM
    // Tests only: what the run held at most, which must not grow with the tree.
    m_err.Write(L"held: " + std::to_wstring(m_walk.MostRowsHeld()) + L" listed, " + std::to_wstring(m_nMostAhead) +
                L" ahead\n");
#endif
    m_progress.Clear();
    if (m_bWriteManifest)
    {
        // Only a run that went through puts the manifest in place: a manifest that exists is whole.
        const bool bWhole = m_halt == kRunning;
        if (bWhole ? !m_manifest.Commit() : !m_manifest.Abandon())
        {
            // The night's digests are not lost where only the rename failed: the message names where they are.
            if (!m_manifest.KeptPath().empty())
                Error(LoadText(m_manifest.Error() == ERROR_FILE_READ_ONLY ? IDS_CLI_MANIFEST_KEPT_READ_ONLY : IDS_CLI_MANIFEST_KEPT,
                               m_options.strManifest, m_manifest.KeptPath()));
            else
                Error(LoadText(IDS_CLI_MANIFEST_CANNOT_WRITE, m_options.strManifest));
            m_bTrouble = true;
        }
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

    static DWORD WINAPI Ask(LPVOID pParam)
    {
        const std::unique_ptr<std::shared_ptr<CDepthQuestion>> held(static_cast<std::shared_ptr<CDepthQuestion>*>(pParam));
        CDepthQuestion& q = **held;
        for (int s = 0; s < 2; ++s)
            q.nDepth[s] = ReadDepth::ForFolder(q.strFolder[s], q.pQueries, &q.why[s], &q.range[s]);
        return 0;
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
    auto* pParam = new std::shared_ptr<CDepthQuestion>(question);
    HANDLE h = ::CreateThread(nullptr, 0, CDepthQuestion::Ask, pParam, 0, nullptr);
    if (!h)
        CDepthQuestion::Ask(pParam);
    else
    {
        DWORD dwWait;
        while ((dwWait = ::WaitForSingleObject(h, kBreakPollMs)) == WAIT_TIMEOUT && !m_break.TestBreakSignal())
            ;
        ::CloseHandle(h);
        if (dwWait == WAIT_TIMEOUT)
            return false;
    }
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
    if (m_halt != kRunning)
        return static_cast<size_t>(-1);
    CStreamJob job;
    if (m_bCheck)
    {
        if (pair.kind[0] != EListed::kFile || pair.kind[1] != EListed::kFile)
            return static_cast<size_t>(-1);
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
        return static_cast<size_t>(-1);
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
    {
        CVerifyRow row;
        row.name = static_cast<LPCWSTR>(pair.strName);
        const bool bFolder = pair.strName.GetAt(pair.strName.GetLength() - 1) == L'\\';
        for (int s = 0; s < 2; ++s)
        {
            row.bHasSize[s] = pair.HasSide(s) && !bFolder && !(m_bCheck && s == 0);  // a manifest holds no sizes
            row.nSize[s] = pair.nSize[s];
        }
        Verdict verdict = kNotCompared;
        const bool bJob = nJob != static_cast<size_t>(-1);
        // The handler only raised the flag; here, between two rows, is where the run reacts. The pair in hand is
        // interrupted where a reader had begun it, whatever else was in flight; every later one is not-compared.
        if (m_halt == kRunning && m_break.TestBreakSignal())
        {
            m_halt = kBroken;
            if (bJob && m_bStreamStarted && (m_bCheck || IsCompared(pair)))
            {
                m_stream.Stop(kStopWaitMs);
                m_bStreamStarted = false;
                CStreamVerdict v;
                m_stream.PeekVerdict(nJob, v);
                verdict = v.bStarted ? kInterrupted : kNotCompared;
                if (v.bRead)
                    row.pszMode = v.bFast ? L"fast" : L"normal";
                m_bInterruptedHere = true;
            }
        }
        if (m_bInterruptedHere)
            m_bInterruptedHere = false;
        else if (m_bCheck && bJob)
        {
            if (m_halt != kRunning)
                verdict = kNotCompared;
            else
                AuditPair(pair, nJob, row, verdict);
        }
        else if (!IsPlain(pair.kind[0]) || !IsPlain(pair.kind[1]) || !pair.HasSide(0) || !pair.HasSide(1))
        {
            if (!IsPlain(pair.kind[0]) || !IsPlain(pair.kind[1]))
            {
                if (!ListedRow(pair, row, verdict))
                    return;
            }
            else
                verdict = m_halt != kRunning ? kNotCompared : pair.HasSide(1) ? kOnly2 : kOnly1;
            // A file of folder 1 that is not compared is still read for the manifest.
            CStreamVerdict v;
            if (bJob && m_halt == kRunning && AwaitVerdict(pair, nJob, row, v))
                NoteDigest(pair, v);
        }
        else if (m_halt != kRunning)
            verdict = kNotCompared;
        else
            ComparePair(pair, nJob, row, verdict);
        row.pszVerdict = kToken[verdict];
        ++m_nCounts[verdict];
        if (m_out.IsConsole())
            m_progress.Clear();
        m_rows.WriteRow(row);
        m_report.AddRow(row, kLabel[verdict], pair.strPath[0], pair.strPath[1]);
        if (verdict == kDiffers && m_options.bStopOnDiff && m_halt == kRunning)
            m_halt = kStoppedOnDiff;
        // Nothing more is compared: the readers, who may be pairs ahead, stop now rather than at the end.
        if (m_halt != kRunning && m_bStreamStarted)
        {
            m_stream.Stop(kStopWaitMs);
            m_bStreamStarted = false;
        }
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

// The row of a name whose verdict the listing alone decides: nothing of it is compared, so it stands also after a
// stop. False for a folder on both sides, which has no row: its entries speak for it.
bool CVerifyRun::ListedRow(const CListedPair& pair, CVerifyRow& row, Verdict& verdict)
{
    auto either = [&pair](EListed kind) { return pair.kind[0] == kind || pair.kind[1] == kind; };
    if (either(EListed::kCannotList))
    {
        verdict = kCannotList;
        if (pair.bTooDeep)
            row.pszDetailWord = L"depth";
    }
    else if (either(EListed::kBadName))
    {
        verdict = kCannotOpen;
        row.pszDetailWord = L"name";
    }
    // A link, loop or online-only file on one side only is still a name missing from the other.
    else if (!pair.HasSide(1))
        verdict = kOnly1;
    else if (!pair.HasSide(0))
        verdict = kOnly2;
    else if (pair.kind[0] == EListed::kFolder && pair.kind[1] == EListed::kFolder)
        return false;
    else
    {
        const Skip skip = either(EListed::kLink) ? kSkipLink : either(EListed::kLoop) ? kSkipLoop : kSkipOffline;
        verdict = kSkipped;
        row.pszDetailWord = kSkipWord[skip];
        ++m_nSkips[skip];
    }
    return true;
}

// Waits for job nJob's verdict, looking for Ctrl+C and redrawing the progress line meanwhile. False at Ctrl+C: the
// run is then broken and row holds what was known of the pair.
bool CVerifyRun::AwaitVerdict(const CListedPair& pair, size_t nJob, CVerifyRow& row, CStreamVerdict& v)
{
    if (!m_bStreamStarted)
    {
        // No buffers or no threads to read with: the content was not read, which is what read-error tells.
        v = CStreamVerdict();
        return true;
    }
    m_strCurrentName = static_cast<LPCWSTR>(pair.strName);
    m_nCurrentJob = nJob;
    m_nPairStartMs = NowMs();
    while (!m_stream.WaitVerdict(nJob, kBreakPollMs, v))
    {
        if (m_halt == kBroken || m_break.TestBreakSignal())
        {
            // A read that would not cancel (a stalled share) keeps its thread, not the user: the rows, the
            // summary and the status are written all the same.
            m_stream.Stop(kStopWaitMs);
            m_bStreamStarted = false;
            m_stream.PeekVerdict(nJob, v);
            m_halt = kBroken;
            if (v.bRead)
                row.pszMode = v.bFast ? L"fast" : L"normal";
            CStreamProgress status;
            m_stream.GetProgress(nJob, status);
            m_nBytesCompared += status.nBytesCompared;
            return false;
        }
        ShowProgress();
    }
    return true;
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

// One file of the audited folder against its manifest line: a digest tells whether, not where.
void CVerifyRun::AuditPair(const CListedPair& pair, size_t nJob, CVerifyRow& row, Verdict& verdict)
{
    CStreamVerdict v;
    if (!AwaitVerdict(pair, nJob, row, v))
    {
        verdict = v.bStarted ? kInterrupted : kNotCompared;
        return;
    }
    if (v.bOpened[0])
        row.nSize[1] = v.nSize[0];
    if (v.bRead)
        row.pszMode = v.bFast ? L"fast" : L"normal";
    m_nBytesFinished += v.nBytesHashed;
    const CManifestEntry* pEntry = FindManifestEntry(m_entries, static_cast<LPCWSTR>(pair.strName));
    if (v.result == CStreamVerdict::kCannotOpen)
        verdict = kCannotOpen;
    else if (v.result != CStreamVerdict::kRead || !v.bHashed || !pEntry)
    {
        verdict = kReadError;
        row.pszDetailWord = ErrorWord(v);
    }
    else
    {
        verdict = std::equal(v.digest, v.digest + sizeof v.digest, pEntry->digest) ? kSame : kDiffers;
        m_nBytesCompared += v.nBytesHashed;
    }
}

void CVerifyRun::ComparePair(const CListedPair& pair, size_t nJob, CVerifyRow& row, Verdict& verdict)
{
    CStreamVerdict v;
    if (!AwaitVerdict(pair, nJob, row, v))
    {
        verdict = v.bStarted ? kInterrupted : kNotCompared;
        return;
    }
    NoteDigest(pair, v);
    // The sizes that were compared: those of the open files, not of the directory entries.
    for (int s = 0; s < 2; ++s)
        if (v.bOpened[s])
            row.nSize[s] = v.nSize[s];
    if (v.bRead)
    {
        row.pszMode = v.bFast ? L"fast" : L"normal";
        m_nBytesFinished += v.nSize[0];
    }
    m_nBytesCompared += v.nBytesCompared;
    switch (v.result)
    {
    case CStreamVerdict::kSame:
        verdict = kSame;
        // A "backup" that shares its storage with the source is no copy at all; the bytes said same all the same.
        if (v.bSameFile)
            row.pszDetailWord = L"same-file";
        break;
    case CStreamVerdict::kDiffers:
        verdict = kDiffers;
        row.bHasDetail = true;
        row.nDetail = v.nFirstDifference;
        break;
    case CStreamVerdict::kSize:
        verdict = kSize;
        break;
    case CStreamVerdict::kCannotOpen:
        verdict = kCannotOpen;
        break;
    default:
        verdict = kReadError;
        row.pszDetailWord = ErrorWord(v);
        break;
    }
}

// "error-N" with the system's code of the read that failed: a CRC error (23) is a disk's, a network name no
// longer available (64) a share's.
const wchar_t* CVerifyRun::ErrorWord(const CStreamVerdict& v)
{
    if (!v.dwError)
        return nullptr;
    m_strErrorWord = L"error-" + std::to_wstring(v.dwError);
    return m_strErrorWord.c_str();
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
    const double dMBps = dSeconds > 0 ? static_cast<double>(m_nBytesCompared) / 1e6 / dSeconds : 0.0;
    if (m_bWriteManifest)
        line += L" / " + LoadText(IDS_CLI_MANIFEST_LINES, std::to_wstring(m_nManifestLines), Bytes(m_nBytesOnlyHashed));
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
    for (int v = 0; v < kVerdicts; ++v)
        if (v != kInterrupted)
            head.counts.push_back({kToken[v], kLabel[v], m_nCounts[v]});
    if (!m_report.Commit(head))
    {
        Error(LoadText(IDS_CLI_REPORT_CANNOT_WRITE, m_options.strReport));
        nStatus = ExitCode::kTrouble;
    }
}
