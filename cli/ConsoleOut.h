// COutputStream: text for a standard handle, through WriteConsoleW on a console and as UTF-8 elsewhere.
#pragma once
#include <windows.h>
#include <string>

class COutputStream
{
public:
    explicit COutputStream(DWORD nStdHandle);
    COutputStream(const COutputStream&) = delete;
    COutputStream& operator=(const COutputStream&) = delete;

    bool IsConsole() const { return m_bConsole; }
    // The console's width in columns; 0 when the stream is not a console.
    int ConsoleWidth() const;
    // Written before it returns: nothing waits in a buffer of ours, so a run that is killed loses nothing it wrote.
    void Write(const std::wstring& text);
    // A write failed (a closed pipe, a full disk); later writes are still tried.
    bool Failed() const { return m_bFailed; }

private:
    HANDLE m_hOut;
    bool m_bConsole;
    bool m_bFailed = false;
    std::string m_utf8;
};

// Message nID of the message table, with %1, %2, %3 replaced by the arguments given.
std::wstring LoadText(UINT nID, const std::wstring& arg1 = std::wstring(), const std::wstring& arg2 = std::wstring(),
                      const std::wstring& arg3 = std::wstring());
