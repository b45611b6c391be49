// Ending worker threads that may be blocked inside a request to a device: the stream's readers, the walk's listers.
#pragma once
#include <windows.h>
#include <exception>
#include <vector>

// Cancels the threads' requests and waits up to dwMs for the threads to end. A thread blocked in a request to a
// stalled share or a sleeping disk sees its stop flag only when the request returns, so the requests are cancelled
// again now and then: one may have started just after the first cancel. False when a thread is still held after
// dwMs (the system would not cancel its request): it must be left with everything it uses.
inline bool CancelThreads(std::vector<HANDLE> running, DWORD dwMs)
{
    const ULONGLONG nDeadline = dwMs == INFINITE ? ~0ULL : ::GetTickCount64() + dwMs;
    while (!running.empty())
    {
        for (HANDLE h : running)
            ::CancelSynchronousIo(h);
        const ULONGLONG now = ::GetTickCount64();
        const DWORD dwStep = now >= nDeadline ? 0 : static_cast<DWORD>(nDeadline - now < 20 ? nDeadline - now : 20);
        // At most MAXIMUM_WAIT_OBJECTS at a time; the threads are waited for from the end of the list.
        const DWORD nWait = running.size() < MAXIMUM_WAIT_OBJECTS ? static_cast<DWORD>(running.size()) : MAXIMUM_WAIT_OBJECTS;
        if (::WaitForMultipleObjects(nWait, running.data() + running.size() - nWait, TRUE, dwStep) != WAIT_TIMEOUT)
            running.resize(running.size() - nWait);
        else if (::GetTickCount64() >= nDeadline)
            return false;
    }
    return true;
}

// How long a destructor waits for its threads: for ever in an orderly end, where every request returns in time; a
// second while an exception unwinds, which must reach its handler (the run's message and status) whatever a stuck
// request does. A thread still held then is left behind with everything it uses.
inline DWORD DestructorWait()
{
    return std::uncaught_exceptions() > 0 ? 1000 : INFINITE;
}
