// ToExactPath: drive-letter and UNC paths into the literal "\\?\" form.
#include "ExactPath.h"

std::wstring ToExactPath(LPCWSTR pszPath)
{
    const std::wstring path(pszPath ? pszPath : L"");
    const bool bDrive = path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                        path[1] == L':' && path[2] == L'\\';
    if (bDrive)
        return L"\\\\?\\" + path;
    const bool bPrefixed = path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
                           path[3] == L'\\';
    if (bPrefixed)
        return path;
    // "\\server\share\..." but not "\\\..." or "\\": a UNC path names a server first.
    if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\')
        return L"\\\\?\\UNC\\" + path.substr(2);
    return path;
}

namespace
{
// The path as Win32 resolves it (relative parts, "..", trailing dots); unchanged where it cannot.
std::wstring FullPathName(const std::wstring& path)
{
    const DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::wstring full(n, L'\0');
    const DWORD m = ::GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    if (m == 0 || m >= n)
        return path;
    full.resize(m);
    return full;
}
}

std::wstring FullPath(const std::wstring& strGiven)
{
    std::wstring path = strGiven;
    for (wchar_t& ch : path)
        if (ch == L'/')
            ch = L'\\';
    if (path.compare(0, 4, L"\\\\.\\") == 0)
    {
        path = FullPathName(path);
        path[2] = L'?';
    }
    if (path.compare(0, 4, L"\\\\?\\") != 0)
        return FullPathName(path);
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        return L"\\\\" + path.substr(8);
    if (path.size() >= 7 && path[5] == L':' && path[6] == L'\\')
        return path.substr(4);
    return path;
}

bool IsNameOfOwn(LPCWSTR pszName)
{
    for (LPCWSTR p = pszName; *p; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':')
            return false;
    return *pszName != L'\0';
}
