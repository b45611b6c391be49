// CConsoleBreak: Ctrl+C and Ctrl+Break while it lives, as a signal the work loop asks for at its own safe points.
#pragma once
#include <windows.h>

class CConsoleBreak
{
public:
    CConsoleBreak();
    ~CConsoleBreak();
    CConsoleBreak(const CConsoleBreak&) = delete;
    CConsoleBreak& operator=(const CConsoleBreak&) = delete;

    // Set by the first break; a work loop can wait on it together with its messages.
    HANDLE Event() const { return s_hBreak; }
    bool TestBreakSignal() const { return ::WaitForSingleObject(s_hBreak, 0) == WAIT_OBJECT_0; }
    // The same answer without a system call, for loops that ask for every entry they see.
    bool Requested() const { return s_nBreaks != 0; }

private:
    static BOOL WINAPI HandlerRoutine(DWORD dwCtrlType);
    static HANDLE s_hBreak;
    static volatile LONG s_nBreaks;
};
