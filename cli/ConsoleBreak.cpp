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

// Ends the process from the handler's thread, with the status of an interrupted run. TerminateProcess, not
// ExitProcess: ExitProcess runs every DLL's detach code, which waits for the loader lock, and a worker stopped inside
// the loader (a thread starting or ending) would hold it for ever; TerminateProcess notifies no DLL. Nothing is
// deleted here, where a share that stopped answering would hold the way out: the temporary output files are
// delete-pending, and the system removes them as it closes the process's handles. Rows are written as they are
// known, so none is lost.
void CConsoleBreak::EndNow()
{
    ::TerminateProcess(::GetCurrentProcess(), ExitCode::kInterrupted);
}

BOOL WINAPI CConsoleBreak::HandlerRoutine(DWORD dwCtrlType)
{
    // The system runs this on a thread of its own while the work goes on: nothing is stopped or torn down here.
    switch (dwCtrlType)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // The first break asks the run to end in order; a second one, when that takes too long, ends it at once.
        // Under Wine the default handler would end it with 0, which a script would read as "all the same".
        if (::InterlockedIncrement(&s_nBreaks) > 1)
            EndNow();
        return TRUE;
    // Windows 7 and later send log-off and shutdown here only to programs that load neither user32 nor gdi32: this
    // one loads its texts without user32, and a test holds it to that.
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process when this returns, or a few seconds later: too soon for an orderly end.
        EndNow();
        return TRUE;
    case CTRL_LOGOFF_EVENT:
    {
        // A run in the user's own session ends with the log-off; one in the services' session 0 (a scheduled task
        // run whether anybody is logged on or not) is told of every user's log-off, and goes on.
        DWORD dwSession = 0;
        if (::ProcessIdToSessionId(::GetCurrentProcessId(), &dwSession) && dwSession == 0)
            return FALSE;
        EndNow();
        return TRUE;
    }
    default:
        return FALSE;
    }
}
