// CReport: the page a person reads the morning after a run (--report FILE.html): one self-contained HTML file.
#pragma once
#include "ByteWindow.h"
#include "Manifest.h"
#include "OutputFile.h"
#include "RowWriter.h"
#include <windows.h>
#include <string>
#include <vector>

// What only the end of a run knows, for the page's head.
struct CReportHead
{
    std::wstring strFolder[2];  // full paths; strFolder[0] empty in an audit
    std::wstring strManifest;   // the manifest audited, or empty
    bool bFast = true;          // fast mode asked for (each pair still falls back where a volume refuses it)
    UINT32 nDepth[2] = {0, 0};  // files in flight per side; an audit reads side 2 only
    UINT64 nBytesCompared = 0;
    double dSeconds = 0;
    UINT nHeadline = 0;  // IDS_RUN_COMPLETE, IDS_STOPPED_ON_DIFF or IDS_RUN_ABORTED
    int nExitStatus = 0;
    std::wstring strTakenOver;  // how many rows came from a journal, and of which run; empty without one
    struct Count
    {
        const wchar_t* pszToken;
        UINT nLabel;  // the dialog's word for it
        UINT64 n;
    };
    std::vector<Count> counts;
    UINT64 nExcluded = 0;                // names left out
    std::vector<std::wstring> excluded;  // the patterns, as given
};

// Rows that are not "same" go to the file as they come, so the page's memory stays bounded however many problems a
// night finds; the head and the counts, known only at the end, are written after them and shown first by the
// page's style. The file is written under a temporary name and renamed over FILE only by Commit: a run broken off
// leaves an older report as it was.
class CReport
{
public:
    // The "same" rows the page lists: a page of a million pairs still opens in seconds, and the rows the program
    // wrote hold them all.
    static const size_t kSameListed = 1000;

    // path as the user gave it; false when the temporary file cannot be created.
    bool Open(const std::wstring& path);
    bool IsOpen() const { return m_bOpen; }
    // What every wait for the page's writer asks (COutputFile::SetGiveUp).
    void SetGiveUp(COutputFile::PFN_GIVE_UP pfnGiveUp, void* pContext) { m_file.SetGiveUp(pfnGiveUp, pContext); }
    // One row as written to standard output, with the dialog's word for its verdict. A "differs" row with an offset
    // shows the bytes around it, as the comparison read them (null or empty where none were kept).
    void AddRow(const CVerifyRow& row, UINT nLabel, const CByteWindow* pWindow);
    // A message the run wrote to standard error.
    void AddMessage(const std::wstring& text);
    // Writes the head and renames the file into place; false when it could not (the target is then as it was).
    bool Commit(const CReportHead& head);
    // Deletes the temporary file; the target stays as it was.
    void Abandon();

private:
    void Write(const std::string& html);

    bool m_bOpen = false;
    COutputFile m_file;  // the manifest's file-in-place machinery and writer serve the report alike
    FILETIME m_started{};
    UINT64 m_nProblems = 0;
    UINT64 m_nSame = 0;
    std::string m_sameRows;  // at most kSameListed rows
    // Damage is rare and what the page most has to tell: its rows are held, bounded as the same rows are, and
    // shown before every other problem.
    UINT64 m_nDamage = 0;
    std::string m_damageRows;
    std::vector<std::wstring> m_messages;
    UINT64 m_nMessagesLeftOut = 0;
};
