// CFileFind: the search and its read-ahead.
#include "FileFind.h"
#include <cwchar>

bool CFileFind::FindFile(LPCWSTR pszPattern)
{
    Close();
    const size_t nLen = wcslen(pszPattern);
    m_hFind = ::FindFirstFileW(pszPattern, &m_next);
    if (m_hFind == INVALID_HANDLE_VALUE)
        return false;
    m_bHaveNext = true;
    size_t nRoot = nLen;
    while (nRoot > 0 && pszPattern[nRoot - 1] != L'\\' && pszPattern[nRoot - 1] != L'/' && pszPattern[nRoot - 1] != L':')
        --nRoot;
    m_strRoot = CString(pszPattern, static_cast<int>(nRoot));
    return true;
}

bool CFileFind::FindNextFile()
{
    if (!m_bHaveNext)
        return false;
    m_found = m_next;
    m_bHaveNext = ::FindNextFileW(m_hFind, &m_next) != FALSE;
    return m_bHaveNext;
}

void CFileFind::Close()
{
    if (m_hFind != INVALID_HANDLE_VALUE)
        ::FindClose(m_hFind);
    m_hFind = INVALID_HANDLE_VALUE;
    m_bHaveNext = false;
}

bool CFileFind::IsDots() const
{
    return MatchesMask(FILE_ATTRIBUTE_DIRECTORY) &&
           (wcscmp(m_found.cFileName, L".") == 0 || wcscmp(m_found.cFileName, L"..") == 0);
}
