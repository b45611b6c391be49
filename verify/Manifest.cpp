// Manifest: sha256sum's line format both ways, the writer that renames only a whole file into place, the reader.
#include "Manifest.h"
#include "ExactPath.h"
#include "FileAccess.h"
#include <algorithm>
#include <cstring>
#include <cwchar>

namespace
{
const size_t kWriteBlock = 0x10000;

// How long a refused rename waits before each new try: about five seconds in all, long enough for a virus scanner
// or a sync client to let go of the old manifest, short enough not to hold up the end of a nightly script.
const DWORD kRenameWaitMs[] = {50, 100, 200, 400, 800, 1000, 1000, 1000, 1000};

bool IsSurrogate(wchar_t ch)
{
    return ch >= 0xD800 && ch <= 0xDFFF;
}

bool IsHigh(wchar_t ch)
{
    return ch >= 0xD800 && ch <= 0xDBFF;
}

bool IsLow(wchar_t ch)
{
    return ch >= 0xDC00 && ch <= 0xDFFF;
}

int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// Strict: a byte sequence that is not UTF-8 (also an encoded surrogate) is no name.
bool FromUtf8(const std::string& bytes, std::wstring& text)
{
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0)
        return false;
    text.assign(static_cast<size_t>(n), L'\0');
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), &text[0], n) == n;
}

// coreutils' escapes, which a name needs only after a leading "\" on its line.
bool Unescape(const std::string& escaped, std::string& name)
{
    name.clear();
    for (size_t i = 0; i < escaped.size(); ++i)
    {
        if (escaped[i] != '\\')
        {
            name += escaped[i];
            continue;
        }
        if (++i == escaped.size())
            return false;
        switch (escaped[i])
        {
        case '\\': name += '\\'; break;
        case 'n': name += '\n'; break;
        case 'r': name += '\r'; break;
        default: return false;
        }
    }
    return true;
}

// A manifest's name ("a/b/c") as a listing's ("a\b\c"), when every component is a name of its own that stays in
// the folder.
bool ToListingName(const std::wstring& manifestName, std::wstring& name)
{
    name.clear();
    size_t nStart = 0;
    for (;;)
    {
        const size_t nEnd = manifestName.find(L'/', nStart);
        const std::wstring part = manifestName.substr(nStart, nEnd == std::wstring::npos ? std::wstring::npos : nEnd - nStart);
        // Also refuses NUL, which would end the name early, and ":", which names a drive or a stream.
        if (part.find(L'\0') != std::wstring::npos || !IsNameOfOwn(part.c_str()) || part == L"." || part == L"..")
            return false;
        name += part;
        if (nEnd == std::wstring::npos)
            return true;
        name += L'\\';
        nStart = nEnd + 1;
    }
}

// One line without its line end; false when it is no manifest line.
bool ParseLine(const std::string& line, CManifestEntry& entry)
{
    size_t i = 0;
    const bool bEscaped = !line.empty() && line[0] == '\\';
    if (bEscaped)
        ++i;
    if (line.size() < i + 64 + 3)
        return false;
    for (size_t k = 0; k < 32; ++k)
    {
        const int hi = HexValue(line[i + 2 * k]), lo = HexValue(line[i + 2 * k + 1]);
        if (hi < 0 || lo < 0)
            return false;
        entry.digest[k] = static_cast<BYTE>(hi << 4 | lo);
    }
    i += 64;
    if (line[i] != ' ' || (line[i + 1] != ' ' && line[i + 1] != '*'))
        return false;
    std::string bytes = line.substr(i + 2);
    if (bEscaped)
    {
        std::string unescaped;
        if (!Unescape(bytes, unescaped))
            return false;
        bytes.swap(unescaped);
    }
    std::wstring manifestName;
    return !bytes.empty() && FromUtf8(bytes, manifestName) && ToListingName(manifestName, entry.name);
}

// The order of CString::Compare (UTF-16 code units as unsigned values), without a copy of either name.
int CompareNames(const std::wstring& a, const std::wstring& b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
    {
        const unsigned x = static_cast<unsigned short>(a[i]), y = static_cast<unsigned short>(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool NameThenLine(const CManifestEntry& a, const CManifestEntry& b)
{
    const int c = CompareNames(a.name, b.name);
    return c != 0 ? c < 0 : a.nLine < b.nLine;
}

// One line without its line end, numbered from 1; the byte-order mark only before the first.
void TakeLine(std::string& line, size_t nLine, std::vector<CManifestEntry>& entries, std::vector<size_t>& badLines)
{
    if (nLine == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
        line.erase(0, 3);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty() || line[0] == '#')
        return;
    CManifestEntry entry;
    entry.nLine = nLine;
    if (ParseLine(line, entry))
        entries.push_back(std::move(entry));
    else
        badLines.push_back(nLine);
}
}

std::string ManifestLine(const BYTE digest[32], const std::wstring& name)
{
    if (name.empty())
        return std::string();
    std::wstring slashed(name);
    for (size_t i = 0; i < slashed.size(); ++i)
    {
        if (slashed[i] == L'\\')
            slashed[i] = L'/';
        else if (IsHigh(slashed[i]) && i + 1 < slashed.size() && IsLow(slashed[i + 1]))
            ++i;
        else if (IsSurrogate(slashed[i]))
            return std::string();
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, slashed.data(), static_cast<int>(slashed.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, slashed.data(), static_cast<int>(slashed.size()), &utf8[0], n, nullptr, nullptr);

    static const char kHex[] = "0123456789abcdef";
    const bool bEscape = utf8.find_first_of("\\\n\r") != std::string::npos;
    std::string line;
    line.reserve(1 + 64 + 2 + utf8.size() + 1);
    if (bEscape)
        line += '\\';
    for (int k = 0; k < 32; ++k)
    {
        line += kHex[digest[k] >> 4];
        line += kHex[digest[k] & 15];
    }
    line += "  ";
    for (char ch : utf8)
    {
        if (ch == '\\')
            line += "\\\\";
        else if (ch == '\n')
            line += "\\n";
        else if (ch == '\r')
            line += "\\r";
        else
            line += ch;
    }
    line += '\n';
    return line;
}

CManifestWriter::~CManifestWriter()
{
    Abandon();
}

bool CManifestWriter::Fail(DWORD dwError)
{
    if (m_dwError == 0)
        m_dwError = dwError != 0 ? dwError : ERROR_GEN_FAILURE;
    return false;
}

bool CManifestWriter::Open(const std::wstring& path)
{
    Abandon();
    m_dwError = 0;
    m_buffer.clear();
    m_strKept.clear();
    // Made whole as a folder is ("..\sums", "C:/x/sums"): the literal form alone would take ".." and "/" as names.
    m_strTarget = ToExactPath(FullPath(path).c_str());
    const DWORD dwAttributes = ::GetFileAttributesW(m_strTarget.c_str());
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(ERROR_ACCESS_DENIED);
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY))
        return Fail(ERROR_FILE_READ_ONLY);
    // The process id keeps two runs apart; a stale file of an earlier process of that id is left alone.
    for (int nTry = 0; nTry < 100; ++nTry)
    {
        wchar_t suffix[48];
        swprintf(suffix, 48, nTry == 0 ? L".tavik-%lu.tmp" : L".tavik-%lu-%d.tmp", ::GetCurrentProcessId(), nTry);
        const std::wstring temp = m_strTarget + suffix;
        m_hFile = ::CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_hFile != INVALID_HANDLE_VALUE)
        {
            m_strTemp = temp;
            // Delete-pending from the start: whatever ends the process (a second Ctrl+C, a crash, a kill), the system
            // deletes the file with its last handle, and no handler has to reach a device that may not answer.
            // Not FILE_FLAG_DELETE_ON_CLOSE, which no later call can take back.
            m_bMarked = Mark(TRUE);
            return true;
        }
        const DWORD dwError = ::GetLastError();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS)
            return Fail(dwError);
    }
    return Fail(ERROR_FILE_EXISTS);
}

bool CManifestWriter::Mark(BOOL bDelete)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = bDelete;
    return ::SetFileInformationByHandle(m_hFile, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

bool CManifestWriter::WriteBuffer()
{
    size_t nDone = 0;
    while (nDone < m_buffer.size())
    {
        const size_t nLeft = m_buffer.size() - nDone;
        const DWORD nAsk = static_cast<DWORD>(nLeft < 0x40000000 ? nLeft : 0x40000000);
        DWORD nWritten = 0;
        if (!::WriteFile(m_hFile, m_buffer.data() + nDone, nAsk, &nWritten, nullptr))
            return Fail(::GetLastError());
        if (nWritten == 0)
            return Fail(ERROR_WRITE_FAULT);
        nDone += nWritten;
    }
    m_buffer.clear();
    return true;
}

bool CManifestWriter::Add(const std::string& line)
{
    if (m_dwError != 0)
        return false;
    if (m_hFile == INVALID_HANDLE_VALUE)
        return Fail(ERROR_INVALID_HANDLE);
    m_buffer += line;
    return m_buffer.size() < kWriteBlock || WriteBuffer();
}

// Windows refuses to replace a file that another program has open without delete sharing (a sync client, a virus
// scanner, another machine on the share) with a sharing violation, and one whose deletion is pending, or that is
// opened in a way that forbids it, with access denied: both pass once the other program lets go.
bool CManifestWriter::Rename()
{
    for (size_t nTry = 0;; ++nTry)
    {
        // A read-only target never yields: said at once, in its own words.
        const DWORD dwAttributes = ::GetFileAttributesW(m_strTarget.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY))
            return Fail(ERROR_FILE_READ_ONLY);
        if (m_pfnMove(m_strTemp.c_str(), m_strTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD dwError = ::GetLastError();
        if ((dwError != ERROR_SHARING_VIOLATION && dwError != ERROR_ACCESS_DENIED) ||
            nTry == sizeof kRenameWaitMs / sizeof kRenameWaitMs[0])
            return Fail(dwError);
        ::Sleep(kRenameWaitMs[nTry]);
    }
}

bool CManifestWriter::Commit(bool (*pfnStillWanted)(void*), void* pContext)
{
    if (m_dwError == 0 && m_hFile == INVALID_HANDLE_VALUE)
        Fail(ERROR_INVALID_HANDLE);
    if (m_dwError == 0 && WriteBuffer() && !::FlushFileBuffers(m_hFile))
        Fail(::GetLastError());
    if (m_dwError == 0 && pfnStillWanted && !pfnStillWanted(pContext))
        Fail(ERROR_CANCELLED);
    // The mark goes only now, with every byte on the disk: a process ended before this leaves nothing behind.
    if (m_dwError == 0 && m_bMarked && !Mark(FALSE))
        Fail(::GetLastError());
    if (m_dwError != 0)
    {
        Abandon();
        return false;
    }
    m_bMarked = false;
    // Renamed while still open, delete sharing lets the rename through; the file is closed after, whole either way.
    const bool bRenamed = Rename();
    ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    if (!bRenamed)
        m_strKept = FullPath(m_strTemp);  // as the user writes paths
    m_strTemp.clear();
    return bRenamed;
}

bool CManifestWriter::Abandon()
{
    m_buffer.clear();
    bool bDeleted = true;
    if (m_hFile != INVALID_HANDLE_VALUE)
    {
        ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
        // A volume that refused the mark gets its file deleted by name.
        if (!m_bMarked && !m_strTemp.empty())
        {
            bDeleted = ::DeleteFileW(m_strTemp.c_str()) != FALSE;
            if (!bDeleted)
                Fail(::GetLastError());
        }
    }
    m_bMarked = false;
    m_strTemp.clear();
    return bDeleted;
}

bool ReadManifest(const std::wstring& path, std::vector<CManifestEntry>& entries, std::vector<size_t>& badLines)
{
    entries.clear();
    badLines.clear();
    // Parsed a block at a time: the manifest is held once, as its entries, never also as its text.
    HANDLE h = FileAccess::OpenDiskFile(FullPath(path).c_str(), FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const DWORD kBlock = 0x100000;
    std::string block(kBlock, '\0'), line;
    size_t nLine = 1;
    DWORD dwError = ERROR_SUCCESS, n = 0;
    while (::ReadFile(h, &block[0], kBlock, &n, nullptr) || (dwError = ::GetLastError(), false))
    {
        if (n == 0)
            break;
        for (size_t nPos = 0; nPos < n;)
        {
            const void* pEnd = std::memchr(block.data() + nPos, '\n', n - nPos);
            const size_t nEnd = pEnd ? static_cast<size_t>(static_cast<const char*>(pEnd) - block.data()) : n;
            line.append(block, nPos, nEnd - nPos);
            nPos = nEnd + 1;
            if (pEnd)
            {
                TakeLine(line, nLine++, entries, badLines);
                line.clear();
            }
        }
    }
    ::CloseHandle(h);
    if (dwError != ERROR_SUCCESS)
    {
        ::SetLastError(dwError);
        return false;
    }
    if (!line.empty())
        TakeLine(line, nLine, entries, badLines);
    // A name twice would be two rows of one file, or two verdicts on it: the first line counts, the later ones
    // are errors.
    std::sort(entries.begin(), entries.end(), NameThenLine);
    size_t nKept = 0;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        if (nKept > 0 && entries[nKept - 1].name == entries[i].name)
            badLines.push_back(entries[i].nLine);
        else
        {
            if (nKept != i)
                entries[nKept] = std::move(entries[i]);
            ++nKept;
        }
    }
    entries.resize(nKept);
    std::sort(badLines.begin(), badLines.end());
    return true;
}

const CManifestEntry* FindManifestEntry(const std::vector<CManifestEntry>& entries, const std::wstring& name)
{
    CManifestEntry key;
    key.name = name;
    key.nLine = 0;
    auto it = std::lower_bound(entries.begin(), entries.end(), key, NameThenLine);
    return it != entries.end() && it->name == name ? &*it : nullptr;
}

void ManifestFolder(const std::vector<CManifestEntry>& entries, const std::wstring& folder, std::vector<CListedPair>& listing)
{
    CManifestEntry key;
    key.name = folder;
    key.nLine = 0;
    auto it = std::lower_bound(entries.begin(), entries.end(), key, NameThenLine);
    while (it != entries.end() && it->name.compare(0, folder.size(), folder) == 0)
    {
        const size_t nSlash = it->name.find(L'\\', folder.size());
        CListedPair row;
        row.kind[0] = nSlash == std::wstring::npos ? EListed::kFile : EListed::kFolder;
        row.strName = CString(it->name.c_str(), static_cast<int>(nSlash == std::wstring::npos ? it->name.size() : nSlash + 1));
        listing.push_back(std::move(row));
        if (nSlash == std::wstring::npos)
        {
            ++it;
            continue;
        }
        // Past the subfolder's names, which all start with its name and a backslash: every one sorts before the
        // same name with the next code unit, ']'.
        key.name.assign(it->name, 0, nSlash).push_back(L']');
        it = std::lower_bound(it, entries.end(), key, NameThenLine);
    }
}

std::vector<CListedPair> ManifestListing(const std::vector<CManifestEntry>& entries)
{
    std::vector<CListedPair> pairs(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
    {
        pairs[i].strName = CString(entries[i].name.c_str(), static_cast<int>(entries[i].name.size()));
        pairs[i].kind[0] = EListed::kFile;
    }
    return pairs;
}
