// CRowWriter: one result row per name on standard output, as tab-separated values or as JSON lines.
#pragma once
#include "ConsoleOut.h"
#include <string>

struct CVerifyRow
{
    const wchar_t* pszVerdict = L"";  // same, differs, size, only1, only2, cannot-open, read-error, ...
    std::wstring name;
    bool bHasSize[2] = {false, false};
    UINT64 nSize[2] = {0, 0};
    const wchar_t* pszMode = nullptr;  // fast or normal; null when nothing was read
    bool bHasDetail = false;
    UINT64 nDetail = 0;  // offset of the first differing byte
    std::wstring detailWord;  // a word instead of the offset: why the row is as it is
    // Each side's last-write time as listed (FILETIME ticks, UTC), where the side has a file.
    bool bHasTime[2] = {false, false};
    UINT64 nTime[2] = {0, 0};
    bool bDamage = false;  // differs or size under equal times: not written, the times tell a script as much
};

class CRowWriter
{
public:
    enum Format { kTsv, kJsonl };
    CRowWriter(Format format, COutputStream& out) : m_format(format), m_out(out) {}

    void WriteHeader();
    void WriteRow(const CVerifyRow& row);
    // The text of a row without writing it.
    std::wstring FormatRow(const CVerifyRow& row) const;

private:
    Format m_format;
    COutputStream& m_out;
};

// A FILETIME as UTC in ISO 8601, with the fraction of a second it holds and no trailing zeros:
// "2026-12-11T03:04:05Z", "2026-12-11T03:04:05.5Z".
std::wstring IsoTime(UINT64 nTicks);

// The text with every character that could act on a terminal or split a line written as \uXXXX: for names in
// the texts of standard error.
std::wstring InertText(const std::wstring& text);
