// CConsoleBreak: Ctrl+C and Ctrl+Break while it lives, as a signal the work loop asks for at its own safe points; a
// second break, the console closed, a log-off or a shutdown end the process at once, without its temporary files.
#pragma once
#include <windows.h>

class CConsoleBreak
{
public:
    CConsoleBreak();
    ~CConsoleBreak();
    CConsoleBreak(const CConsoleBreak&) = delete;
    CConsoleBreak& operator=(const CConsoleBreak&) = delete;

    // A read of a counter, no kernel call: a loop may ask for every row of a run of a hundred thousand.
    bool TestBreakSignal() const { return s_nBreaks != 0; }

private:
    static BOOL WINAPI HandlerRoutine(DWORD dwCtrlType);
    static void EndNow();
    static volatile LONG s_nBreaks;
};
