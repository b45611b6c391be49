// CJournal: the journal's lines, written as they come and read back whole, torn or damaged.
#include "Journal.h"
#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{
const char kMagic[] = "tavik-journal\t";
const char kFormat[] = "1";
const size_t kReadChunk = 1 << 20;

void Hex(std::string& out, const BYTE* p, size_t n)
{
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i)
    {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 15];
    }
}

bool FromHex(const std::string& text, BYTE* p, size_t n)
{
    if (text.size() != 2 * n)
        return false;
    for (size_t i = 0; i < 2 * n; ++i)
    {
        const char c = text[i];
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0)
            return false;
        p[i / 2] = static_cast<BYTE>(i % 2 ? (p[i / 2] << 4) | v : v);
    }
    return true;
}

bool Number(const std::string& text, UINT64& n)
{
    if (text.empty() || text.size() > 20)
        return false;
    n = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return false;
        const UINT64 next = n * 10 + static_cast<UINT64>(c - '0');
        if (next / 10 != n)
            return false;
        n = next;
    }
    return true;
}

// A name or word as UTF-8, with what would split a line or a field, and every surrogate (a lone one has no UTF-8),
// written as an escape.
void Escape(std::string& out, const std::wstring& text)
{
    for (wchar_t ch : text)
    {
        const unsigned u = static_cast<unsigned>(ch) & 0xFFFF;
        if (ch == L'\\')
            out += "\\\\";
        else if (u < 0x20 || (u >= 0xD800 && u <= 0xDFFF))
        {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        }
        else if (u < 0x80)
            out += static_cast<char>(u);
        else if (u < 0x800)
        {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
        else
        {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
}

bool Unescape(const std::string& text, std::wstring& out)
{
    out.clear();
    for (size_t i = 0; i < text.size();)
    {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\')
        {
            if (i + 1 < text.size() && text[i + 1] == '\\')
            {
                out += L'\\';
                i += 2;
                continue;
            }
            BYTE b[2];
            if (i + 6 > text.size() || text[i + 1] != 'u' || !FromHex(text.substr(i + 2, 4), b, 2))
                return false;
            out += static_cast<wchar_t>(b[0] << 8 | b[1]);
            i += 6;
        }
        else if (c < 0x80)
        {
            if (c < 0x20)
                return false;
            out += static_cast<wchar_t>(c);
            ++i;
        }
        else
        {
            const size_t n = c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
            if (n == 0 || c >= 0xF0 || i + n > text.size())
                return false;
            unsigned u = c & (n == 3 ? 0x0F : 0x1F);
            for (size_t k = 1; k < n; ++k)
            {
                const unsigned char t = static_cast<unsigned char>(text[i + k]);
                if ((t & 0xC0) != 0x80)
                    return false;
                u = u << 6 | (t & 0x3F);
            }
            out += static_cast<wchar_t>(u);
            i += n;
        }
    }
    return true;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (char c : line)
        if (c == '\t')
            fields.emplace_back();
        else
            fields.back() += c;
    return fields;
}

// The line with its checksum and line end; WholeLine gives back the line without them where the checksum holds.
std::string Sealed(std::string line)
{
    char buf[16];
    snprintf(buf, sizeof buf, "\t%08x\n", static_cast<unsigned>(CJournal::Crc32(line.data(), line.size())));
    return line + buf;
}

bool WholeLine(const std::string& line, std::string& body)
{
    const size_t tab = line.rfind('\t');
    BYTE crc[4];
    if (tab == std::string::npos || !FromHex(line.substr(tab + 1), crc, 4))
        return false;
    const UINT32 n = static_cast<UINT32>(crc[0]) << 24 | static_cast<UINT32>(crc[1]) << 16 | static_cast<UINT32>(crc[2]) << 8 | crc[3];
    if (CJournal::Crc32(line.data(), tab) != n)
        return false;
    body = line.substr(0, tab);
    return true;
}

std::string Head(const std::string& version, const BYTE fingerprint[32], UINT64 nBegun)
{
    std::string head = std::string(kMagic) + kFormat + "\t" + version + "\t";
    Hex(head, fingerprint, 32);
    return Sealed(head + "\t" + std::to_string(nBegun));
}

int CompareNames(const wchar_t* a, size_t na, const wchar_t* b, size_t nb)
{
    const int n = std::char_traits<wchar_t>::compare(a, b, std::min(na, nb));
    return n ? n : na < nb ? -1 : na > nb ? 1 : 0;
}
}

UINT32 CJournal::Crc32(const char* p, size_t n)
{
    static UINT32 s_table[256];
    static bool s_bMade;
    if (!s_bMade)
    {
        for (UINT32 i = 0; i < 256; ++i)
        {
            UINT32 c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            s_table[i] = c;
        }
        s_bMade = true;
    }
    UINT32 crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        crc = s_table[(crc ^ static_cast<unsigned char>(p[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string CJournal::RecordLine(const CJournalRow& row)
{
    std::string line = "r\t";
    auto field = [&line](const std::string& text) {
        line += '\t';
        line += text;
    };
    Escape(line, row.name);
    for (int s = 0; s < 2; ++s)
    {
        field(std::to_string(row.kind[s]));
        field(std::to_string(row.nListedSize[s]));
        field(std::to_string(row.nWriteTime[s]));
        field(std::to_string(row.nFileId[s]));
    }
    field(std::string());
    Escape(line, row.verdict);
    for (int s = 0; s < 2; ++s)
        field(row.bHasSize[s] ? std::to_string(row.nSize[s]) : std::string("-"));
    field(row.mode.empty() ? "-" : "");
    Escape(line, row.mode);
    field(row.bHasDetail ? "#" : !row.detailWord.empty() ? "=" : "-");
    if (row.bHasDetail)
        line += std::to_string(row.nDetail);
    Escape(line, row.detailWord);
    field(std::string());
    if (row.bDigest)
        Hex(line, row.digest, sizeof row.digest);
    else
        line += '-';
    field(std::string());
    if (row.bWindow)
    {
        line += std::to_string(row.window.nStart);
        for (int s = 0; s < 2; ++s)
        {
            line += ':';
            Hex(line, row.window.bytes[s], row.window.nBytes[s]);
        }
    }
    else
        line += '-';
    return Sealed(line);
}

bool CJournal::ParseRecord(const std::string& line, CJournalRow& row)
{
    std::string body;
    if (!line.empty() && line.back() == '\n')
    {
        if (!WholeLine(line.substr(0, line.size() - 1), body))
            return false;
    }
    else if (!WholeLine(line, body))
        return false;
    const std::vector<std::string> f = Fields(body);
    if (f.size() != 17 || f[0] != "r" || !Unescape(f[1], row.name) || row.name.empty())
        return false;
    for (int s = 0; s < 2; ++s)
    {
        UINT64 kind = 0;
        if (!Number(f[2 + 4 * s], kind) || kind > 255 || !Number(f[3 + 4 * s], row.nListedSize[s]) ||
            !Number(f[4 + 4 * s], row.nWriteTime[s]) || !Number(f[5 + 4 * s], row.nFileId[s]))
            return false;
        row.kind[s] = static_cast<BYTE>(kind);
        row.bHasSize[s] = f[11 + s] != "-";
        row.nSize[s] = 0;
        if (row.bHasSize[s] && !Number(f[11 + s], row.nSize[s]))
            return false;
    }
    if (!Unescape(f[10], row.verdict) || row.verdict.empty())
        return false;
    row.mode.clear();
    if (f[13] != "-" && !Unescape(f[13], row.mode))
        return false;
    row.bHasDetail = false;
    row.nDetail = 0;
    row.detailWord.clear();
    if (f[14].empty())
        return false;
    if (f[14][0] == '#')
    {
        row.bHasDetail = true;
        if (!Number(f[14].substr(1), row.nDetail))
            return false;
    }
    else if (f[14][0] == '=')
    {
        if (!Unescape(f[14].substr(1), row.detailWord) || row.detailWord.empty())
            return false;
    }
    else if (f[14] != "-")
        return false;
    row.bDigest = f[15] != "-";
    if (row.bDigest && !FromHex(f[15], row.digest, sizeof row.digest))
        return false;
    row.bWindow = f[16] != "-";
    row.window = CByteWindow();
    if (!row.bWindow)
        return true;
    const size_t a = f[16].find(':'), b = a == std::string::npos ? a : f[16].find(':', a + 1);
    if (b == std::string::npos || !Number(f[16].substr(0, a), row.window.nStart))
        return false;
    const std::string hex[2] = {f[16].substr(a + 1, b - a - 1), f[16].substr(b + 1)};
    for (int s = 0; s < 2; ++s)
    {
        if (hex[s].size() % 2 || hex[s].size() / 2 > CByteWindow::kMax)
            return false;
        row.window.nBytes[s] = static_cast<UINT32>(hex[s].size() / 2);
        if (!FromHex(hex[s], row.window.bytes[s], row.window.nBytes[s]))
            return false;
    }
    return true;
}

CJournal::~CJournal()
{
    if (IsOpen())
    {
        Flush();
        ::CloseHandle(m_hFile);
    }
}

bool CJournal::Fail(DWORD dwError)
{
    if (m_dwError == 0)
        m_dwError = dwError ? dwError : ERROR_WRITE_FAULT;
    m_pending.clear();
    m_nPending = 0;
    return false;
}

bool CJournal::Write(const std::string& text)
{
    if (m_dwError)
        return false;
    for (size_t done = 0; done < text.size();)
    {
        const DWORD n = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1 << 24));
        DWORD written = 0;
        if (!::WriteFile(m_hFile, text.data() + done, n, &written, nullptr) || written == 0)
            return Fail(::GetLastError());
        done += written;
    }
    return true;
}

CJournal::Opened CJournal::Open(const std::wstring& path, const std::string& version, const BYTE fingerprint[32],
                                UINT64& nBadLine)
{
    nBadLine = 0;
    m_path = path;
    // Read sharing only: a second run given the same journal at the same time cannot write records into it.
    m_hFile = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hFile == INVALID_HANDLE_VALUE)
    {
        m_dwError = ::GetLastError();
        return kCannotOpen;
    }
    UINT64 nKeep = 0;
    const Opened opened = ReadBack(version, fingerprint, nBadLine, nKeep);
    if (opened != kFresh && opened != kResumed)
    {
        ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
        m_entries.clear();
        return opened;
    }
    // A torn end is cut off: the next record must begin a line of its own, or it would read as damage.
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(nKeep);
    if (!::SetFilePointerEx(m_hFile, at, nullptr, FILE_BEGIN) || !::SetEndOfFile(m_hFile))
    {
        m_dwError = ::GetLastError();
        ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
        return kCannotOpen;
    }
    if (opened == kFresh)
    {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        m_nBegun = static_cast<UINT64>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
        if (!Write(Head(version, fingerprint, m_nBegun)))
        {
            ::CloseHandle(m_hFile);
            m_hFile = INVALID_HANDLE_VALUE;
            return kCannotOpen;
        }
    }
    std::stable_sort(m_entries.begin(), m_entries.end(), [this](const Entry& a, const Entry& b) {
        return CompareNames(m_names.data() + a.nNameAt, a.nNameLength, m_names.data() + b.nNameAt, b.nNameLength) < 0;
    });
    // The latest record of a name is the one after the others of its name: it alone stays.
    size_t nOut = 0;
    for (size_t i = 0; i < m_entries.size(); ++i)
    {
        const bool bLast = i + 1 == m_entries.size() ||
                           CompareNames(m_names.data() + m_entries[i].nNameAt, m_entries[i].nNameLength,
                                        m_names.data() + m_entries[i + 1].nNameAt, m_entries[i + 1].nNameLength) != 0;
        if (bLast)
            m_entries[nOut++] = m_entries[i];
    }
    m_entries.resize(nOut);
    m_entries.shrink_to_fit();
    return opened;
}

CJournal::Opened CJournal::ReadBack(const std::string& version, const BYTE fingerprint[32], UINT64& nBadLine,
                                    UINT64& nKeep)
{
    std::string carry;
    std::vector<char> chunk(kReadChunk);
    UINT64 nLine = 0, nOffset = 0;
    bool bHead = false;
    for (;;)
    {
        DWORD n = 0;
        if (!::ReadFile(m_hFile, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr))
        {
            m_dwError = ::GetLastError();
            return kCannotOpen;
        }
        if (n == 0)
            break;
        carry.append(chunk.data(), n);
        size_t at = 0;
        for (size_t end; (end = carry.find('\n', at)) != std::string::npos; at = end + 1)
        {
            const std::string line = carry.substr(at, end - at);
            ++nLine;
            nOffset += line.size() + 1;
            const bool bUnwritten = line.find('\0') != std::string::npos;
            std::string body;
            if (!bHead)
            {
                // Pages never written read as zeros: a head of nothing else is a journal never begun.
                if (bUnwritten && line.find_first_not_of('\0') == std::string::npos && nLine == 1)
                    continue;
                if (line.compare(0, sizeof kMagic - 1, kMagic) != 0)
                    return kNotJournal;
                if (!WholeLine(line, body))
                {
                    nBadLine = nLine;
                    return kDamaged;
                }
                const std::vector<std::string> f = Fields(body);
                if (f.size() != 5 || f[1] != kFormat || f[2] != version)
                    return kOtherVersion;
                BYTE theirs[32];
                if (!FromHex(f[3], theirs, sizeof theirs) || !Number(f[4], m_nBegun))
                {
                    nBadLine = nLine;
                    return kDamaged;
                }
                if (memcmp(theirs, fingerprint, sizeof theirs) != 0)
                    return kOtherRun;
                bHead = true;
            }
            else if (!bUnwritten)
            {
                CJournalRow row;
                if (!ParseRecord(line, row))
                {
                    nBadLine = nLine;
                    return kDamaged;
                }
                Keep(row);
            }
            nKeep = nOffset;
        }
        carry.erase(0, at);
    }
    if (bHead)
        return kResumed;
    // No whole head: an empty file, or one whose head was being written, is begun again; anything else is not ours.
    if (!carry.empty() && carry.find_first_not_of('\0') != std::string::npos &&
        carry.compare(0, std::min(carry.size(), sizeof kMagic - 1), kMagic, std::min(carry.size(), sizeof kMagic - 1)) != 0)
        return kNotJournal;
    if (nLine > 0 && !carry.empty() && carry.find_first_not_of('\0') != std::string::npos)
        return kNotJournal;
    nKeep = 0;
    return kFresh;
}

UINT16 CJournal::Word(const std::wstring& word)
{
    for (size_t i = 0; i < m_words.size(); ++i)
        if (m_words[i] == word)
            return static_cast<UINT16>(i);
    m_words.push_back(word);
    return static_cast<UINT16>(m_words.size() - 1);
}

bool CJournal::Keep(const CJournalRow& row)
{
    if (m_words.size() > 60000)
        return false;  // not words any more: such records are compared again
    Entry e{};
    for (int s = 0; s < 2; ++s)
    {
        e.nListed[s] = row.nListedSize[s];
        e.nListed[2 + s] = row.nWriteTime[s];
        e.nListed[4 + s] = row.nFileId[s];
        e.nSize[s] = row.nSize[s];
        e.kind[s] = row.kind[s];
    }
    e.nDetail = row.nDetail;
    e.flags = static_cast<BYTE>((row.bHasSize[0] ? 1 : 0) | (row.bHasSize[1] ? 2 : 0) | (row.bHasDetail ? 4 : 0));
    e.nVerdict = Word(row.verdict);
    e.nMode = Word(row.mode);
    e.nDetailWord = Word(row.detailWord);
    e.nDigest = kNoDigest;
    if (row.bDigest)
    {
        e.nDigest = static_cast<UINT32>(m_digests.size() / 32);
        m_digests.insert(m_digests.end(), row.digest, row.digest + 32);
    }
    e.nWindow = kNoDigest;
    if (row.bWindow)
    {
        e.nWindow = static_cast<UINT32>(m_windows.size());
        m_windows.push_back(row.window);
    }
    e.nNameAt = m_names.size();
    e.nNameLength = static_cast<UINT32>(row.name.size());
    m_names += row.name;
    m_entries.push_back(e);
    return true;
}

bool CJournal::Find(LPCWSTR pszName, CJournalRow& row) const
{
    const size_t n = wcslen(pszName);
    auto it = std::lower_bound(m_entries.begin(), m_entries.end(), pszName, [this, n](const Entry& e, LPCWSTR p) {
        return CompareNames(m_names.data() + e.nNameAt, e.nNameLength, p, n) < 0;
    });
    if (it == m_entries.end() || CompareNames(m_names.data() + it->nNameAt, it->nNameLength, pszName, n) != 0)
        return false;
    const Entry& e = *it;
    row.name.assign(pszName, n);
    for (int s = 0; s < 2; ++s)
    {
        row.kind[s] = e.kind[s];
        row.nListedSize[s] = e.nListed[s];
        row.nWriteTime[s] = e.nListed[2 + s];
        row.nFileId[s] = e.nListed[4 + s];
        row.bHasSize[s] = (e.flags & (1 << s)) != 0;
        row.nSize[s] = e.nSize[s];
    }
    row.verdict = m_words[e.nVerdict];
    row.mode = m_words[e.nMode];
    row.bHasDetail = (e.flags & 4) != 0;
    row.nDetail = e.nDetail;
    row.detailWord = m_words[e.nDetailWord];
    row.bDigest = e.nDigest != kNoDigest;
    if (row.bDigest)
        memcpy(row.digest, &m_digests[static_cast<size_t>(e.nDigest) * 32], 32);
    row.bWindow = e.nWindow != kNoDigest;
    row.window = row.bWindow ? m_windows[e.nWindow] : CByteWindow();
    return true;
}

bool CJournal::Append(const CJournalRow& row)
{
    if (!IsOpen() || m_dwError)
        return false;
    if (m_nPending == 0)
        m_nFirstPendingMs = ::GetTickCount64();
    m_pending += RecordLine(row);
    return ++m_nPending < kFlushRecords || Flush();
}

bool CJournal::Tick()
{
    return m_nPending == 0 || ::GetTickCount64() - m_nFirstPendingMs < kFlushMs || Flush();
}

bool CJournal::Flush()
{
    if (!IsOpen() || m_nPending == 0)
        return m_dwError == 0;
    const bool bWritten = Write(m_pending);
    m_pending.clear();
    m_nPending = 0;
    return bWritten;
}

bool CJournal::Remove()
{
    if (!IsOpen())
        return false;
    m_pending.clear();
    m_nPending = 0;
    ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    if (!::DeleteFileW(m_path.c_str()))
        return Fail(::GetLastError());
    return true;
}
