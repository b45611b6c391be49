// COutputStream and the message table texts of the console program.
#include "ConsoleOut.h"
#include "String.h"
#include <algorithm>

COutputStream::COutputStream(DWORD nStdHandle)
{
    m_hOut = ::GetStdHandle(nStdHandle);
    DWORD dwMode;
    // GetConsoleMode succeeds only on a console handle: a pipe or a file gets bytes, a console gets characters.
    m_bConsole = m_hOut != nullptr && m_hOut != INVALID_HANDLE_VALUE && ::GetConsoleMode(m_hOut, &dwMode);
}

int COutputStream::ConsoleWidth() const
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!m_bConsole || !::GetConsoleScreenBufferInfo(m_hOut, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void COutputStream::Write(const std::wstring& text)
{
    if (text.empty() || m_hOut == nullptr || m_hOut == INVALID_HANDLE_VALUE)
        return;
    if (m_bConsole)
    {
        // A console takes UTF-16 whole; no code page can mangle a name on the way.
        size_t nDone = 0;
        while (nDone < text.size())
        {
            const DWORD nChunk = static_cast<DWORD>(std::min<size_t>(text.size() - nDone, 8192));
            DWORD nWritten = 0;
            if (!::WriteConsoleW(m_hOut, text.data() + nDone, nChunk, &nWritten, nullptr) || nWritten == 0)
            {
                m_bFailed = true;
                return;
            }
            nDone += nWritten;
        }
        return;
    }
    // No byte-order mark: the output is meant for scripts, which would take one for part of the first field.
    const int nBytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    m_utf8.resize(static_cast<size_t>(nBytes));
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &m_utf8[0], nBytes, nullptr, nullptr);
    size_t nDone = 0;
    while (nDone < m_utf8.size())
    {
        DWORD nWritten = 0;
        if (!::WriteFile(m_hOut, m_utf8.data() + nDone, static_cast<DWORD>(m_utf8.size() - nDone), &nWritten, nullptr) ||
            nWritten == 0)
        {
            m_bFailed = true;
            return;
        }
        nDone += nWritten;
    }
}

std::wstring LoadText(UINT nID, const std::wstring& arg1, const std::wstring& arg2, const std::wstring& arg3)
{
    CString strText;
    strText.LoadString(nID);
    const std::wstring text(static_cast<LPCWSTR>(strText), static_cast<size_t>(strText.GetLength()));
    const std::wstring* apArg[3] = {&arg1, &arg2, &arg3};
    std::wstring result;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'%' && i + 1 < text.size() && text[i + 1] >= L'1' && text[i + 1] <= L'3')
        {
            result += *apArg[text[i + 1] - L'1'];
            ++i;
        }
        else
            result += text[i];
    }
    return result;
}
