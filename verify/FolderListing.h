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
    EListed kind[2] = {EListed::kNone, EListed::kNone};
    bool HasSide(int s) const { return kind[s] != EListed::kNone; }
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

    // The entries of both sides merged by name, ordered by UTF-16 code unit as CString::Compare orders them.
    // Entries under a folder that either side could not list are left out: the folder's row stands for them.
    static std::vector<CListedPair> Merge(std::vector<CListedPair> side1, std::vector<CListedPair> side2);
};
