// CVerifyRun: one run of tavik-verify: list both folders, feed every pair to the engine, write a row per name.
#pragma once
#include "ConsoleBreak.h"
#include "FolderListing.h"
#include "Manifest.h"
#include "PairStream.h"
#include "PathFilter.h"
#include "ProgressLine.h"
#include "ReadDepth.h"
#include "Report.h"
#include "RowJudgement.h"
#include "RowWriter.h"
#include "RunJournal.h"
#include "TreeWalk.h"
#include <deque>
#include <string>
#include <vector>

struct CVerifyOptions
{
    std::wstring strFolder[2];  // as given on the command line
    bool bRecursive = false;
    bool bBuffered = false;
    bool bStopOnDiff = false;
    bool bProgress = false;  // also when standard error is not a console
    bool bQuiet = false;
    bool bAll = false;     // also entries both hidden and system
    bool bRecall = false;  // also online-only files
    bool bBackup = false;  // files opened with backup semantics; the privilege is enabled before the run
    bool bVerbose = false; // each side's depth and why, on standard error
    std::wstring strManifest;  // written while comparing, when given
    std::wstring strCheck;     // the manifest side 1 stands for: an audit of strFolder[1] alone
    std::wstring strReport;    // the HTML page of the run, when given
    std::wstring strJournal;   // the decided rows kept for a run after a cut, when given
    CPathFilter filter;        // names left out (--exclude, --exclude-from)
    std::vector<std::wstring> excludeFiles;  // the files of --exclude-from: inputs no output may replace
    UINT32 nDepth = 0;     // files in flight per side; 0: each side's from its device
    const CVolumeQueries* pVolumeQueries = nullptr;  // tests only: the device answers Wine cannot give
    DWORD (*pfnAttributes)(LPCWSTR pszName, DWORD dwAttributes) = nullptr;  // tests only: see CListingOptions
    CRowWriter::Format format = CRowWriter::kTsv;
};

class CVerifyRun
{
public:
    CVerifyRun(const CVerifyOptions& options, COutputStream& out, COutputStream& err);
    CVerifyRun(const CVerifyRun&) = delete;
    CVerifyRun& operator=(const CVerifyRun&) = delete;

    // Returns the exit status.
    int Run();

private:
    enum Halt { kRunning, kStoppedOnDiff, kBroken };

    // A row taken from the walk, with the job that reads its files (npos for none).
    struct CAhead
    {
        CListedPair pair;
        size_t nJob;
    };

    bool AskDepths(std::wstring why[2]);
    void ShowDepthChanges();
    bool StartWalk(const std::wstring why[2]);
    CTreeWalk::Result TakeRows(DWORD dwMs);
    size_t MakeJob(const CListedPair& pair);
    void StartStream();
    void WriteRow(const CListedPair& pair, size_t nJob);
    bool FrontReady(DWORD dwMs);
    bool BreakCame();
    void Break();
    int RunRows();
    void FinishReport(int& nStatus);
    void NoteDigest(const CListedPair& pair, const CStreamVerdict& v);
    void NoteUnlisted(const CListedPair& pair);
    void FinishManifest(UINT nNotWhole);
    static bool GiveUp(void* pRun);
    int ExitStatus() const;
    void ShowListing();
    void ShowProgress();
    void WriteSummary(double dSeconds);
    void Error(const std::wstring& text);

    CVerifyOptions m_options;
    COutputStream& m_out;
    COutputStream& m_err;
    CRowWriter m_rows;
    CProgressLine m_progress;
    CConsoleBreak m_break;
    CString m_strFolder[2];  // full paths, ending with a backslash
    bool m_bCheck = false;
    std::vector<CManifestEntry> m_entries;  // the manifest audited
    COutputFile m_manifest;
    bool m_bWriteManifest = false;
    bool m_bManifestWritten = false;  // put in place: only then has the summary lines to count
    UINT64 m_nManifestLines = 0;
    UINT64 m_nBytesOnlyHashed = 0;  // read for the manifest alone: files only in folder 1, or of another size
    bool m_bTrouble = false;        // a manifest line missing or unreadable
    CPairStream m_stream;
    bool m_bStreamStarted = false;
    bool m_bStreamTried = false;
    UINT32 m_nDepth[2] = {0, 0};  // 0 until the devices are asked; at the end, the depths the stream held
    ReadDepth::CRange m_range[2];  // where each side's depth is found, unless --depth gives it
    CTreeWalk m_walk;
    std::deque<CAhead> m_ahead;  // rows listed, not yet written
    bool m_bWalkEnded = false;
    // What is known of the front row, the next one written.
    struct CFront
    {
        bool bWaited = false;  // its verdict has been waited for
        bool bKnown = false;   // v is its verdict
        bool bBroken = false;  // a break caught it unfinished: v is what was known
        CStreamVerdict v;
    };
    CFront m_front;
    size_t m_nMostAhead = 0;
    CReport m_report;
    CRunJournal m_journal;

    // The pair being waited for.
    std::wstring m_strCurrentName;
    size_t m_nCurrentJob = 0;
    ULONGLONG m_nPairStartMs = 0;

    // The whole run.
    Halt m_halt = kRunning;
    UINT64 m_nCounts[RowJudgement::kVerdicts] = {};
    UINT64 m_nSkips[RowJudgement::kSkips] = {};
    UINT64 m_nDamage = 0;  // differs and size rows under equal times
    UINT64 m_nExcluded = 0;
    UINT64 m_nBytesTotal = 0;     // bytes of every pair that will be read, one side
    UINT64 m_nBytesFinished = 0;  // bytes of the pairs already read, one side
    UINT64 m_nBytesCompared = 0;  // bytes found equal
    ULONGLONG m_nRunStartMs = 0;
};
