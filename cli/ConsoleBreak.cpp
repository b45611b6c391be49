// CConsoleBreak: the handler and its installation.
#include "ConsoleBreak.h"
#include "ExitCode.h"

volatile LONG CConsoleBreak::s_nBreaks = 0;

CConsoleBreak::CConsoleBreak()
{
    s_nBreaks = 0;
    // A process started in a new process group begins with Ctrl+C ignored; a program that handles it asks again.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::SetConsoleCtrlHandler(HandlerRoutine, TRUE);
}

CConsoleBreak::~CConsoleBreak()
{
    ::SetConsoleCtrlHandler(HandlerRoutine, FALSE);
}

BOOL WINAPI CConsoleBreak::HandlerRoutine(DWORD dwCtrlType)
{
    // The system runs this on a thread of its own while the work goes on: nothing is stopped or torn down here.
    if (dwCtrlType != CTRL_C_EVENT && dwCtrlType != CTRL_BREAK_EVENT)
        return FALSE;
    // The first break asks the run to end in order; a second one, when that takes too long, ends the process at
    // once, as the default handler would, but still with the status of an interrupted run: under Wine the default
    // handler ends with 0, which a script would read as "all the same". Rows are written as they are known, so
    // none is lost even then.
    if (::InterlockedIncrement(&s_nBreaks) > 1)
        ::ExitProcess(ExitCode::kInterrupted);
    return TRUE;
}
