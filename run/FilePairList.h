// CFilePairList: the files of the two chosen folders merged into pairs, sorted by name.
#pragma once
#include "String.h"
#include <map>
#include <vector>

class CFilePairList
{
public:
    CFilePairList() = default;
    virtual ~CFilePairList() = default;

    void RemoveAll();
    // Merges one file into the list. nSide is 1 for source 1, 2 for source 2. A path with no usable final
    // name is reported to the user and ends the command with CUserException; the list keeps what it had.
    bool AddFile(LPCWSTR pszPath, unsigned short nSide);
    // Column 0 is the name, 1 the source-1 path, 2 the source-2 path; empty past either end.
    CString GetEntry(int nIndex, int nColumn) const;
    int GetCount() const { return static_cast<int>(m_pairs.size()); }

private:
    struct CNameLess
    {
        bool operator()(const CString& a, const CString& b) const { return a.Compare(b) < 0; }
    };
    struct CPaths
    {
        CString strPath[2];
    };
    typedef std::map<CString, CPaths, CNameLess> CPairMap;

    // A folder may hold 100,000 files: insertion is logarithmic, and the run's walk by index reads a
    // position table rebuilt once after the last insertion instead of walking from the head each time.
    CPairMap m_pairs;
    mutable std::vector<const CPairMap::value_type*> m_index;
    mutable bool m_bIndexValid = true;
};
