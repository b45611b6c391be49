// CFolderListing: the walk over one folder or tree, and the merge of both sides by name.
#include "FolderListing.h"
#include "ExactPath.h"
#include <algorithm>

namespace
{
bool IsDots(const wchar_t* pszName)
{
    return pszName[0] == L'.' && (pszName[1] == L'\0' || (pszName[1] == L'.' && pszName[2] == L'\0'));
}

bool NameLess(const CListedPair& a, const CListedPair& b)
{
    return a.strName.Compare(b.strName) < 0;
}
}

bool CFolderListing::ListFiles(const CString& strFolder, bool bRecursive, std::vector<CListedPair>& files, int nSide,
                               CString& strFailed)
{
    const int s = nSide == 2 ? 1 : 0;
    // Relative folder prefixes still to be listed, each empty or ending with a backslash.
    std::vector<CString> pending(1);
    while (!pending.empty())
    {
        const CString strRelative = pending.back();
        pending.pop_back();
        const CString strDir = strFolder + strRelative;
        // The literal form: a folder or file named "x." or "nul" is listed as itself, and long trees work.
        const std::wstring pattern = ToExactPath(strDir) + L"*";
        WIN32_FIND_DATAW fd;
        HANDLE hFind = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
                                          FIND_FIRST_EX_LARGE_FETCH);
        if (hFind == INVALID_HANDLE_VALUE)
        {
            // A drive root has no dot entries, so an empty one finds nothing; any other folder finds at least those.
            const DWORD dwError = ::GetLastError();
            const DWORD dwAttributes = ::GetFileAttributesW(ToExactPath(strDir).c_str());
            if (dwError == ERROR_FILE_NOT_FOUND && dwAttributes != INVALID_FILE_ATTRIBUTES &&
                (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
                continue;
            strFailed = strDir;
            return false;
        }
        bool bOk = true;
        do
        {
            if (IsDots(fd.cFileName) || (fd.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
                continue;
            const CString strName = strRelative + CString(fd.cFileName);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (bRecursive && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                    pending.push_back(strName + CString(L"\\"));
                continue;
            }
            CListedPair file;
            file.strName = strName;
            file.strPath[s] = strFolder + strName;
            file.nSize[s] = (static_cast<UINT64>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
            files.push_back(file);
        } while (::FindNextFileW(hFind, &fd));
        // A search that ends on anything but "no more files" stopped half-way: the folder was not listed whole.
        if (::GetLastError() != ERROR_NO_MORE_FILES)
            bOk = false;
        ::FindClose(hFind);
        if (!bOk)
        {
            strFailed = strDir;
            return false;
        }
    }
    return true;
}

std::vector<CListedPair> CFolderListing::Merge(std::vector<CListedPair> side1, std::vector<CListedPair> side2)
{
    std::sort(side1.begin(), side1.end(), NameLess);
    std::sort(side2.begin(), side2.end(), NameLess);
    std::vector<CListedPair> pairs;
    pairs.reserve(side1.size() + side2.size());
    size_t i = 0, j = 0;
    while (i < side1.size() || j < side2.size())
    {
        const int c = i == side1.size() ? 1 : j == side2.size() ? -1 : side1[i].strName.Compare(side2[j].strName);
        if (c < 0)
            pairs.push_back(side1[i++]);
        else if (c > 0)
            pairs.push_back(side2[j++]);
        else
        {
            CListedPair pair = side1[i++];
            pair.strPath[1] = side2[j].strPath[1];
            pair.nSize[1] = side2[j].nSize[1];
            ++j;
            pairs.push_back(pair);
        }
    }
    return pairs;
}
