// CPathFilter: patterns parsed once, upper-cased as the system upper-cases names, and matched name by name.
#include "PathFilter.h"
#include "ExactPath.h"

namespace
{
// A patterns file is a few lines; anything larger is no patterns file, and is not held in memory.
const DWORD kMostBytes = 4 * 1024 * 1024;

bool IsSeparator(wchar_t ch)
{
    return ch == L'\\' || ch == L'/';
}

// File systems on Windows compare names through an upper-case table; the invariant locale's mapping is that table
// for every name a volume holds, and maps one code unit to one, so positions stay where they were.
std::wstring Upper(LPCWSTR p, size_t n)
{
    std::wstring upper(n, L'\0');
    if (n && ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, p, static_cast<int>(n), &upper[0], static_cast<int>(n),
                             nullptr, nullptr, 0) != static_cast<int>(n))
        upper.assign(p, n);
    return upper;
}

bool IsHigh(wchar_t ch)
{
    return ch >= 0xD800 && ch <= 0xDBFF;
}

// One name against one part: "*" any run, "?" one character (a surrogate pair is one).
bool MatchName(const wchar_t* pat, size_t nPat, const wchar_t* name, size_t nName)
{
    size_t p = 0, n = 0, nStarP = static_cast<size_t>(-1), nStarN = 0;
    while (n < nName)
    {
        if (p < nPat && pat[p] == L'*')
        {
            nStarP = ++p;
            nStarN = n;
        }
        else if (p < nPat && pat[p] == L'?')
        {
            ++p;
            n += IsHigh(name[n]) && n + 1 < nName ? 2 : 1;
        }
        else if (p < nPat && pat[p] == name[n])
        {
            ++p;
            ++n;
        }
        else if (nStarP != static_cast<size_t>(-1))
        {
            p = nStarP;
            n = ++nStarN;
        }
        else
            return false;
    }
    while (p < nPat && pat[p] == L'*')
        ++p;
    return p == nPat;
}

struct CName
{
    const wchar_t* p;
    size_t n;
};

// Parts from the first against names from the first; "**" takes any number of names, none too.
bool MatchParts(const std::vector<std::wstring>& parts, size_t i, const std::vector<CName>& names, size_t k)
{
    for (; i < parts.size(); ++i, ++k)
    {
        if (parts[i] == L"**")
        {
            for (size_t j = k; j <= names.size(); ++j)
                if (MatchParts(parts, i + 1, names, j))
                    return true;
            return false;
        }
        if (k == names.size() || !MatchName(parts[i].data(), parts[i].size(), names[k].p, names[k].n))
            return false;
    }
    return k == names.size();
}

bool DecodeLines(const std::string& bytes, std::wstring& text)
{
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
    {
        if (bytes.size() % 2)
            return false;
        text.resize((bytes.size() - 2) / 2);
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                           static_cast<unsigned char>(bytes[3 + 2 * i]) << 8);
        return true;
    }
    const size_t nSkip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const int nIn = static_cast<int>(bytes.size() - nSkip);
    if (nIn == 0)
    {
        text.clear();
        return true;
    }
    // Strict: a file in another code page would give patterns that silently match nothing.
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + nSkip, nIn, nullptr, 0);
    if (n <= 0)
        return false;
    text.resize(static_cast<size_t>(n));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + nSkip, nIn, &text[0], n) == n;
}

bool ReadWhole(const std::wstring& path, std::string& bytes)
{
    HANDLE h = ::CreateFileW(ToExactPath(FullPath(path).c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool bOk = ::GetFileSizeEx(h, &size) && size.QuadPart <= kMostBytes;
    if (bOk)
    {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD nGot = 0;
        bOk = bytes.empty() || (::ReadFile(h, &bytes[0], static_cast<DWORD>(bytes.size()), &nGot, nullptr) && nGot == bytes.size());
    }
    ::CloseHandle(h);
    return bOk;
}
}

CPathFilter::Error CPathFilter::Add(const std::wstring& given)
{
    if (given.empty())
        return kEmpty;
    std::wstring pattern = given;
    CPattern parsed;
    while (!pattern.empty() && IsSeparator(pattern.back()))
    {
        parsed.bFoldersOnly = true;
        pattern.pop_back();
    }
    if (pattern.empty())
        return kSeparatorsOnly;
    // A leading separator anchors the pattern at the folder given, as one inside does; it names no folder itself.
    for (size_t nAt = 0; nAt <= pattern.size();)
    {
        size_t nEnd = nAt;
        while (nEnd < pattern.size() && !IsSeparator(pattern[nEnd]))
            ++nEnd;
        if (nEnd > nAt)
            parsed.parts.push_back(Upper(pattern.data() + nAt, nEnd - nAt));
        if (nEnd < pattern.size())
            parsed.bAnchored = true;
        nAt = nEnd + 1;
    }
    m_patterns.push_back(std::move(parsed));
    m_given.push_back(given);
    return kOk;
}

CPathFilter::Error CPathFilter::AddFile(const std::wstring& path, std::wstring& badPattern)
{
    std::string bytes;
    std::wstring text;
    if (!ReadWhole(path, bytes) || !DecodeLines(bytes, text))
        return kCannotRead;
    CPathFilter added = *this;
    for (size_t nAt = 0; nAt < text.size();)
    {
        size_t nEnd = text.find(L'\n', nAt);
        if (nEnd == std::wstring::npos)
            nEnd = text.size();
        std::wstring line = text.substr(nAt, nEnd - nAt);
        nAt = nEnd + 1;
        // Editors leave a carriage return and trailing blanks, which no name Windows makes ends with.
        while (!line.empty() && (line.back() == L'\r' || line.back() == L' ' || line.back() == L'\t'))
            line.pop_back();
        if (line.find_first_not_of(L" \t") == std::wstring::npos || line[0] == L'#')
            continue;
        const Error error = added.Add(line);
        if (error != kOk)
        {
            badPattern = line;
            return error;
        }
    }
    *this = std::move(added);
    return kOk;
}

bool CPathFilter::Excludes(LPCWSTR pszName, size_t nLength) const
{
    const bool bFolder = nLength > 0 && pszName[nLength - 1] == L'\\';
    const std::wstring upper = Upper(pszName, bFolder ? nLength - 1 : nLength);
    std::vector<CName> names;
    for (size_t nAt = 0; nAt <= upper.size();)
    {
        size_t nEnd = upper.find(L'\\', nAt);
        if (nEnd == std::wstring::npos)
            nEnd = upper.size();
        names.push_back(CName{upper.data() + nAt, nEnd - nAt});
        nAt = nEnd + 1;
    }
    for (const CPattern& pattern : m_patterns)
    {
        if (pattern.bFoldersOnly && !bFolder)
            continue;
        if (pattern.bAnchored ? MatchParts(pattern.parts, 0, names, 0)
                              : MatchName(pattern.parts[0].data(), pattern.parts[0].size(), names.back().p, names.back().n))
            return true;
    }
    return false;
}
