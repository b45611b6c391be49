// CRunJournal: what a run of tavik-verify takes over from the journal of a run that was cut off, and what it keeps in it.
#pragma once
#include "FolderListing.h"
#include "Journal.h"
#include "PairStream.h"
#include "RowJudgement.h"
#include "RowWriter.h"
#include <string>

struct CVerifyOptions;

// Everything that decides a run's rows, as one text: a journal serves only a run of the same. An option that
// changes what a row says, or which rows there are, adds its line here.
std::wstring RunFingerprint(const CVerifyOptions& options);

class CRunJournal
{
public:
    // Before anything is read: the journal of --journal read back, or begun. False with the message in error, for
    // a journal that does not fit the run (status 2); true and nothing more without --journal.
    bool Open(const CVerifyOptions& options, std::wstring& error);
    // The pair has a record the run takes over: a pair compared (or a file audited) to a decided verdict, and
    // both sides listed now as they were then. Its files are not opened.
    bool Holds(const CListedPair& pair) const;
    // The row of a pair that Holds, as the record has it; v carries side 1's digest for the manifest line.
    bool TakeOver(const CListedPair& pair, CVerifyRow& row, RowJudgement::Verdict& verdict, CStreamVerdict& v);
    // A row the run wrote; pv is its readers' verdict where one came in. Kept where a later run may take it over.
    void Note(const CListedPair& pair, const CVerifyRow& row, RowJudgement::Verdict verdict, const CStreamVerdict* pv);
    // Every turn of the run's loop: records go to the system at least once a second.
    void Tick() { m_journal.Tick(); }
    void Flush() { m_journal.Flush(); }
    // The run is over: a run that went through removes the journal, so the next begins afresh; one cut off by a
    // break keeps it. False with the message in error where that failed.
    bool End(bool bThrough, std::wstring& error);
    // "引き継ぎ N 行 (...)" for the summary and the report; empty unless the run took over a journal.
    std::wstring TakenOverText() const;

private:
    CJournal m_journal;
    std::wstring m_strGiven;  // as the user wrote it, for messages
    bool m_bResumed = false;
    bool m_bCheck = false;
    bool m_bManifest = false;
    UINT64 m_nTaken = 0;
};
