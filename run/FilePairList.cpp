// CFilePairList: merging, and access by index.
#include "FilePairList.h"
#include "UserException.h"
#include "WinApp.h"
#include "resource.h"

namespace
{
// The pair's name is the path's final component exactly as listed, extension included: the platform's
// display title may hide extensions (pairing report.doc with report.pdf) and rejects names with [ or ].
bool GetPairName(LPCWSTR pszPath, CString& strName)
{
    LPCWSTR pszName = pszPath;
    for (LPCWSTR p = pszPath; *p; ++p)
        if (*p == L'\\' || *p == L'/')
            pszName = p + 1;
    if (*pszName == L'\0')
        return false;
    strName = pszName;
    return true;
}
}

void CFilePairList::RemoveAll()
{
    m_pairs.clear();
    m_index.clear();
    m_bIndexValid = true;
}

bool CFilePairList::AddFile(LPCWSTR pszPath, unsigned short nSide)
{
    CString strName;
    if (!GetPairName(pszPath, strName))
    {
        AfxMessageBox(IDS_BAD_FILENAME, MB_OK | MB_ICONEXCLAMATION);
        AfxThrowUserException();
    }
    // A second file of the same name on the same side replaces the first; the other side stays as it is.
    m_pairs[strName].strPath[nSide == 2 ? 1 : 0] = pszPath;
    m_bIndexValid = false;
    return true;
}

CString CFilePairList::GetEntry(int nIndex, int nColumn) const
{
    if (!m_bIndexValid)
    {
        m_index.clear();
        m_index.reserve(m_pairs.size());
        for (const CPairMap::value_type& entry : m_pairs)
            m_index.push_back(&entry);
        m_bIndexValid = true;
    }
    if (nIndex < 0 || nIndex >= GetCount() || nColumn < 0 || nColumn > 2)
        return CString();
    const CPairMap::value_type& entry = *m_index[static_cast<size_t>(nIndex)];
    return nColumn == 0 ? entry.first : entry.second.strPath[nColumn - 1];
}
