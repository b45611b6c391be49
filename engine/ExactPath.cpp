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

bool IsNameOfOwn(LPCWSTR pszName)
{
    for (LPCWSTR p = pszName; *p; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':')
            return false;
    return *pszName != L'\0';
}
