// Listing two folders (directly or as whole trees) into name-sorted pairs, every entry accounted for.
#pragma once
#include "String.h"
#include <vector>

// What one side holds under a name. Everything but kFile and kFolder is an entry that is not compared.
enum class EListed
{
    kNone,        // nothing of that name on this side
    kFile,
    kFolder,      // entered (recursive listings only); its name ends with a backslash
    kLink,        // a symbolic link or junction to a folder: not entered
    kLoop,        // a folder already entered on the way down: not entered again
    kOffline,     // an online-only file: opening it would download it
    kCannotList,  // a subfolder whose listing failed
    kBadName,     // a name holding "\", "/" or ":": never joined into a path
};

// One name found in either folder. The name is the path relative to the folder, with backslashes between its
// components; a folder's name ends with one. Only kFile entries have a path.
struct CListedPair
{
    CString strName;
    CString strPath[2];
    UINT64 nSize[2] = {0, 0};
    // As the listing gave them: the last-write time (a FILETIME, 100 ns since 1601 UTC) and the file ID, 0 where
    // the volume keeps none. Together with the size they tell whether a file is the one an earlier run saw.
    UINT64 nWriteTime[2] = {0, 0};
    UINT64 nFileId[2] = {0, 0};
    EListed kind[2] = {EListed::kNone, EListed::kNone};
    bool bTooDeep = false;  // kCannotList: a folder without a file ID too deep to be entered
    bool HasSide(int s) const { return kind[s] != EListed::kNone; }
    // Side s of other taken over: what the merge of two listings does for every name found on both.
    void TakeSide(int s, const CListedPair& other)
    {
        strPath[s] = other.strPath[s];
        nSize[s] = other.nSize[s];
        nWriteTime[s] = other.nWriteTime[s];
        nFileId[s] = other.nFileId[s];
        kind[s] = other.kind[s];
    }
};

struct CListingOptions
{
    bool bRecursive = false;
    bool bAll = false;     // also entries both hidden and system (the system's own: desktop.ini, $RECYCLE.BIN)
    bool bRecall = false;  // also online-only files, which opening downloads
    // Called for every entry found, with the count so far; false ends the listing at once (Ctrl+C).
    bool (*pfnGoOn)(void* pContext, UINT64 nEntries) = nullptr;
    void* pContext = nullptr;
    // The attributes of a listed entry before the rules see them; only tests set it, for the attributes Wine
    // cannot store (online-only files).
    DWORD (*pfnAttributes)(LPCWSTR pszName, DWORD dwAttributes) = nullptr;
};

class CFolderListing
{
public:
    enum Result { kListed, kFailed, kStopped };

    // strFolder is a full folder path ending with a backslash, in the form the user would see ("C:\x\",
    // "\\server\share\"); every file path handed out is that folder followed by the relative name. Hidden
    // entries are listed; entries both hidden and system are left out unless bAll and counted in nHiddenSystem.
    // kFailed when strFolder itself cannot be listed (strFailed names it); a subfolder that cannot be listed is
    // an entry of its own and the walk goes on.
    static Result ListFiles(const CString& strFolder, const CListingOptions& options, std::vector<CListedPair>& files,
                            int nSide, CString& strFailed, UINT64& nHiddenSystem);

    // One folder of one side, strFolder + strRelative: its files, the entries not compared and its subfolders (as
    // kFolder, not entered), unordered. kFailed where it cannot be listed, or its listing broke off (nothing is kept).
    // The folder's file ID where it has one (nIndex, bIndexed). nEntries counts every entry seen, for pfnGoOn.
    static Result ListFolder(const CString& strFolder, const CString& strRelative, const CListingOptions& options,
                             int nSide, std::vector<CListedPair>& entries, UINT64& nIndex, bool& bIndexed,
                             UINT64& nHiddenSystem, UINT64& nEntries);
    // True when strPath, whose folder index is nIndex, is the folder strAncestor (volume and whole file ID).
    static bool IsLoop(const CString& strPath, UINT64 nIndex, const CString& strAncestor, UINT64 nAncestorIndex);
    // The order of the rows of one folder: by name, a folder by its name without the backslash, a file before a
    // folder of the same name. Negative, 0 or positive.
    static int FolderOrder(const CListedPair& a, const CListedPair& b);
    // Both sides of one folder merged in FolderOrder.
    static std::vector<CListedPair> MergeFolder(std::vector<CListedPair> side1, std::vector<CListedPair> side2);

    // The entries of both sides merged by name, ordered by UTF-16 code unit as CString::Compare orders them.
    // Entries under a folder that either side could not list are left out: the folder's row stands for them.
    static std::vector<CListedPair> Merge(std::vector<CListedPair> side1, std::vector<CListedPair> side2);
};
