// CRowWriter: escaping of names and the two row formats.
#include "RowWriter.h"
#include <cwchar>

namespace
{
void AppendHex4(std::wstring& line, unsigned value)
{
    wchar_t buf[8];
    swprintf(buf, 8, L"\\u%04x", value & 0xFFFF);
    line += buf;
}

bool IsHigh(wchar_t ch)
{
    return ch >= 0xD800 && ch <= 0xDBFF;
}

bool IsLow(wchar_t ch)
{
    return ch >= 0xDC00 && ch <= 0xDFFF;
}

// Characters that would make a name act instead of read: controls (C0, DEL, C1) move the cursor or start
// terminal sequences, U+2028 and U+2029 end lines for some readers, and a lone surrogate has no UTF-8 form (it
// would turn into U+FFFD, making two names alike). Each is written as \uXXXX, which a name cannot mean
// itself wherever a backslash is escaped. Returns how many code units at text[i] were appended.
size_t AppendInert(std::wstring& line, const std::wstring& text, size_t i)
{
    const wchar_t ch = text[i];
    if (IsHigh(ch) && i + 1 < text.size() && IsLow(text[i + 1]))
    {
        line += ch;
        line += text[i + 1];
        return 2;
    }
    if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F) || ch == 0x2028 || ch == 0x2029 || IsHigh(ch) || IsLow(ch))
        AppendHex4(line, ch);
    else
        line += ch;
    return 1;
}

// Tab, newline and carriage return keep their short escapes; a backslash is escaped too, so "\t" in a name
// cannot be read as a tab.
void AppendTsvName(std::wstring& line, const std::wstring& name)
{
    for (size_t i = 0; i < name.size();)
    {
        const wchar_t ch = name[i];
        const wchar_t* pszShort = ch == L'\t' ? L"\\t" : ch == L'\n' ? L"\\n" : ch == L'\r' ? L"\\r" : ch == L'\\' ? L"\\\\" : nullptr;
        if (pszShort)
        {
            line += pszShort;
            ++i;
        }
        else
            i += AppendInert(line, name, i);
    }
}

void AppendJsonString(std::wstring& line, const std::wstring& text)
{
    line += L'"';
    for (size_t i = 0; i < text.size(); ++i)
    {
        const wchar_t ch = text[i];
        if (ch == L'"')
            line += L"\\\"";
        else if (ch == L'\\')
            line += L"\\\\";
        else if (ch == L'\n')
            line += L"\\n";
        else if (ch == L'\t')
            line += L"\\t";
        else if (ch == L'\r')
            line += L"\\r";
        else if (ch < 0x20)
            AppendHex4(line, ch);
        else if (IsHigh(ch) && i + 1 < text.size() && IsLow(text[i + 1]))
        {
            line += ch;
            line += text[++i];
        }
        else if (IsHigh(ch) || IsLow(ch))
            // A lone surrogate (NTFS allows one in a name) has no UTF-8 form; JSON can still carry it exactly.
            AppendHex4(line, ch);
        else
            line += ch;
    }
    line += L'"';
}

std::wstring Number(UINT64 n)
{
    wchar_t buf[32];
    swprintf(buf, 32, L"%llu", static_cast<unsigned long long>(n));
    return buf;
}
}

std::wstring IsoTime(UINT64 nTicks)
{
    FILETIME ft{static_cast<DWORD>(nTicks), static_cast<DWORD>(nTicks >> 32)};
    SYSTEMTIME st{};
    if (!::FileTimeToSystemTime(&ft, &st))
        return std::wstring();
    wchar_t buf[48];
    int n = swprintf(buf, 40, L"%04u-%02u-%02uT%02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
    UINT64 nFraction = nTicks % 10000000;
    if (nFraction)
    {
        int nDigits = 7;
        for (; nFraction % 10 == 0; nFraction /= 10)
            --nDigits;
        n += swprintf(buf + n, 12, L".%0*llu", nDigits, static_cast<unsigned long long>(nFraction));
    }
    buf[n] = L'Z';
    buf[n + 1] = L'\0';
    return buf;
}

std::wstring InertText(const std::wstring& text)
{
    std::wstring line;
    for (size_t i = 0; i < text.size();)
        i += AppendInert(line, text, i);
    return line;
}

void CRowWriter::WriteHeader()
{
    if (m_format == kTsv)
        m_out.Write(L"verdict\tname\tsize1\tsize2\tmode\tdetail\ttime1\ttime2\n");
}

void CRowWriter::WriteRow(const CVerifyRow& row)
{
    m_out.Write(FormatRow(row));
}

std::wstring CRowWriter::FormatRow(const CVerifyRow& row) const
{
    std::wstring line;
    if (m_format == kTsv)
    {
        line += row.pszVerdict;
        line += L'\t';
        AppendTsvName(line, row.name);
        line += L'\t';
        if (row.bHasSize[0])
            line += Number(row.nSize[0]);
        line += L'\t';
        if (row.bHasSize[1])
            line += Number(row.nSize[1]);
        line += L'\t';
        if (row.pszMode)
            line += row.pszMode;
        line += L'\t';
        if (row.bHasDetail)
            line += Number(row.nDetail);
        else
            line += row.detailWord;
        for (int s = 0; s < 2; ++s)
        {
            line += L'\t';
            if (row.bHasTime[s])
                line += IsoTime(row.nTime[s]);
        }
        line += L'\n';
        return line;
    }
    line += L"{\"verdict\":\"";
    line += row.pszVerdict;
    line += L"\",\"name\":";
    AppendJsonString(line, row.name);
    line += L",\"size1\":";
    line += row.bHasSize[0] ? Number(row.nSize[0]) : L"null";
    line += L",\"size2\":";
    line += row.bHasSize[1] ? Number(row.nSize[1]) : L"null";
    line += L",\"mode\":";
    line += row.pszMode ? L"\"" + std::wstring(row.pszMode) + L"\"" : std::wstring(L"null");
    line += L",\"detail\":";
    if (row.bHasDetail)
        line += Number(row.nDetail);
    else if (!row.detailWord.empty())
        line += L"\"" + row.detailWord + L"\"";
    else
        line += L"null";
    for (int s = 0; s < 2; ++s)
    {
        line += s ? L",\"time2\":" : L",\"time1\":";
        line += row.bHasTime[s] ? L"\"" + IsoTime(row.nTime[s]) + L"\"" : std::wstring(L"null");
    }
    line += L"}\n";
    return line;
}
