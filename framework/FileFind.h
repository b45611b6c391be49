// CFileFind: directory search with attributes over FindFirstFileW / FindNextFileW.
#pragma once
#include "String.h"

class CFileFind
{
public:
    CFileFind() = default;
    ~CFileFind() { Close(); }
    CFileFind(const CFileFind&) = delete;
    CFileFind& operator=(const CFileFind&) = delete;

    // Starts a search; false when it cannot start (no entry, no folder, no medium).
    bool FindFile(LPCWSTR pszPattern);
    // Moves to the next entry; false when the entry it moved to is the last one.
    bool FindNextFile();
    void Close();

    bool MatchesMask(DWORD dwMask) const { return (m_found.dwFileAttributes & dwMask) != 0; }
    bool IsDots() const;
    CString GetFileName() const { return CString(m_found.cFileName); }
    CString GetFilePath() const { return m_strRoot + GetFileName(); }

private:
    HANDLE m_hFind = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW m_next{};   // entry read ahead, so FindNextFile can tell whether it is the last
    WIN32_FIND_DATAW m_found{};  // entry the accessors describe
    bool m_bHaveNext = false;
    CString m_strRoot;
};
