// Listing two folders (directly or as whole trees) into name-sorted pairs, with the dialog's listing rules.
#pragma once
#include "String.h"
#include <vector>

// One name found in either folder. The name is the path relative to the folder, with backslashes between its
// components; a side without the file has an empty path.
struct CListedPair
{
    CString strName;
    CString strPath[2];
    UINT64 nSize[2] = {0, 0};
    bool HasSide(int s) const { return !strPath[s].IsEmpty(); }
};

class CFolderListing
{
public:
    // strFolder is a full folder path ending with a backslash, in the form the user would see ("C:\x\",
    // "\\server\share\"); every file path handed out is that folder followed by the relative name. Plain files
    // only: hidden and system entries are skipped, and with bRecursive so are hidden and system folders. Folders
    // that are reparse points (junctions, links) are not entered, so a link to a parent cannot make the walk
    // endless. False when a folder cannot be listed; strFailed then names it.
    static bool ListFiles(const CString& strFolder, bool bRecursive, std::vector<CListedPair>& files, int nSide,
                          CString& strFailed);

    // The files of both sides merged by name, ordered by UTF-16 code unit as CString::Compare orders them.
    static std::vector<CListedPair> Merge(std::vector<CListedPair> side1, std::vector<CListedPair> side2);
};
