// CProgressLine: drawing, fitting to the console's width, erasing.
#include "ProgressLine.h"
#include "RowWriter.h"

namespace
{
int Columns(wchar_t ch)
{
    if (ch >= 0xDC00 && ch <= 0xDFFF)
        return 0;  // the second half of a pair; the first half counted both columns
    if (ch >= 0xD800 && ch <= 0xDBFF)
        return 2;
    if ((ch >= 0x1100 && ch <= 0x115F) || (ch >= 0x2E80 && ch <= 0xA4CF) || (ch >= 0xAC00 && ch <= 0xD7A3) ||
        (ch >= 0xF900 && ch <= 0xFAFF) || (ch >= 0xFE30 && ch <= 0xFE4F) || (ch >= 0xFF00 && ch <= 0xFF60) ||
        (ch >= 0xFFE0 && ch <= 0xFFE6))
        return 2;
    return ch < 0x20 ? 0 : 1;
}
}

int DisplayColumns(const std::wstring& text)
{
    int n = 0;
    for (wchar_t ch : text)
        n += Columns(ch);
    return n;
}

void CProgressLine::Draw(const std::wstring& text, ULONGLONG nNowMs)
{
    if (!m_bEnabled)
        return;
    // A tab, newline or escape sequence in a name must neither break the line nor act on the console.
    std::wstring line = InertText(text);
    // The last column is left free: writing into it makes a console wrap, and the line would no longer redraw.
    const int nWidth = m_err.ConsoleWidth();
    if (nWidth > 1)
    {
        int nColumns = 0;
        size_t nKeep = 0;
        for (; nKeep < line.size(); ++nKeep)
        {
            const int c = Columns(line[nKeep]);
            if (nColumns + c > nWidth - 1)
                break;
            nColumns += c;
        }
        line.resize(nKeep);
    }
    const int nColumns = DisplayColumns(line);
    std::wstring out = L"\r" + line;
    if (nColumns < m_nShownColumns)
        out += std::wstring(static_cast<size_t>(m_nShownColumns - nColumns), L' ');
    m_err.Write(out);
    m_nShownColumns = nColumns;
    m_bDrawn = true;
    m_bEverDrawn = true;
    m_nLastDrawMs = nNowMs;
}

void CProgressLine::Clear()
{
    if (!m_bDrawn)
        return;
    m_err.Write(L"\r" + std::wstring(static_cast<size_t>(m_nShownColumns), L' ') + L"\r");
    m_bDrawn = false;
    m_nShownColumns = 0;
}
