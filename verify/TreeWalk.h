// CTreeWalk: both folders listed a folder pair at a time, ahead of the caller, on lister threads of its own; the rows
// come in tree order (each folder's names in order, a subfolder's rows where its name stands).
#pragma once
#include "FolderListing.h"
#include <memory>
#include <string>
#include <vector>

struct CManifestEntry;
class CPathFilter;

struct CWalkOptions
{
    CString strFolder[2];       // full paths ending with a backslash; side 1 unused where pManifest stands for it
    const std::vector<CManifestEntry>* pManifest = nullptr;  // side 1's names, sorted as ReadManifest leaves them
    // Names left out on both sides: they get no row, and an excluded folder is never listed.
    const CPathFilter* pFilter = nullptr;
    CListingOptions listing;    // pfnGoOn is the walk's own: the caller stops it with Stop
    UINT32 nListers = 4;        // folders listed at once
    size_t nWindow = 64;        // folder pairs listed ahead of the caller at most
    // Levels under the folder given at which a folder without a file ID is not entered: with no ID nothing tells a
    // folder that leads back to one it is inside (a link made on the server of a share) from a new one.
    UINT32 nMaxLevelsWithoutId = 128;
};

class CTreeWalk
{
public:
    enum Result { kRow, kEnd, kWait, kFailed };

    CTreeWalk();
    ~CTreeWalk();
    CTreeWalk(const CTreeWalk&) = delete;
    CTreeWalk& operator=(const CTreeWalk&) = delete;

    // Starts the listers. False when no thread could be had.
    bool Start(const CWalkOptions& options);
    // The next row, waiting up to dwMs for its folder to be listed: kRow with the row, kEnd after the last one,
    // kWait when the folder is not listed yet, kFailed when a folder given cannot be listed (FailedFolder names
    // it; nothing else comes). A folder on both sides is a row of its own (kind kFolder on both) before its rows.
    Result Next(CListedPair& row, DWORD dwMs);
    CString FailedFolder(int s) const;
    UINT64 HiddenSystem() const;
    // Names the filter left out, a name on both sides counted once.
    UINT64 Excluded() const;
    UINT64 EntriesListed() const;
    // The most rows held at once (listed, not yet handed out), for the tests of a bounded walk.
    size_t MostRowsHeld() const;
    // Ends the listing: the listers stop at their next step and a request in progress is cancelled. Waits up to
    // dwMs for them; a lister held in the system by a request that would not cancel is left behind.
    void Stop(DWORD dwMs);

private:
    struct State;
    State* m_pState;
};
