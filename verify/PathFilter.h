// CPathFilter: the names a run leaves out (--exclude, --exclude-from), as the backup job that made the copy did.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

class CPathFilter
{
public:
    enum Error { kOk, kEmpty, kSeparatorsOnly, kCannotRead };

    // One pattern: "*" any run of characters within a name, "?" one character, "**" as a whole name any number of
    // folders; "/" and "\" alike; without case, as Windows compares names. Without a separator but a trailing one it
    // matches a name at any depth; with one inside, the whole path from the folder given. A trailing separator
    // matches folders only.
    Error Add(const std::wstring& pattern);
    // One pattern a line, blank lines and lines starting with "#" skipped; UTF-8 with or without a BOM, or UTF-16 LE
    // with one; CRLF or LF. On an error nothing of the file is kept; badPattern is the offending line's text.
    Error AddFile(const std::wstring& path, std::wstring& badPattern);

    bool IsEmpty() const { return m_patterns.empty(); }
    // The patterns as given, for the report's head.
    const std::vector<std::wstring>& Given() const { return m_given; }
    // strName is a path relative to the folder given, backslashes between its names; a folder's ends with one.
    bool Excludes(LPCWSTR pszName, size_t nLength) const;

private:
    struct CPattern
    {
        std::vector<std::wstring> parts;  // upper-cased names; "**" stands for any number of folders
        bool bAnchored = false;
        bool bFoldersOnly = false;
    };
    std::vector<CPattern> m_patterns;
    std::vector<std::wstring> m_given;
};
