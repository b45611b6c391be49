// CallAside: a call that may wait on a device for ever, made on a thread of its own while the caller looks for Ctrl+C.
#pragma once
#include <windows.h>
#include <memory>

template <class Job>
struct CAsideThread
{
    static DWORD WINAPI Proc(LPVOID pParam)
    {
        const std::unique_ptr<std::shared_ptr<Job>> held(static_cast<std::shared_ptr<Job>*>(pParam));
        (*held)->Run();
        return 0;
    }
};

// Runs job->Run() on a thread that shares the job, waiting in slices of dwPollMs until it is done or pfnGiveUp says
// to wait no more: then false, and the thread is left with its job, which it alone holds from then on. Where no
// thread can be had, the call is made here.
template <class Job>
bool CallAside(const std::shared_ptr<Job>& job, bool (*pfnGiveUp)(void* pContext), void* pContext, DWORD dwPollMs)
{
    auto* pParam = new std::shared_ptr<Job>(job);
    HANDLE h = ::CreateThread(nullptr, 0, CAsideThread<Job>::Proc, pParam, 0, nullptr);
    if (!h)
    {
        CAsideThread<Job>::Proc(pParam);
        return true;
    }
    DWORD dwWait;
    while ((dwWait = ::WaitForSingleObject(h, dwPollMs)) == WAIT_TIMEOUT && !pfnGiveUp(pContext))
        ;
    ::CloseHandle(h);
    return dwWait != WAIT_TIMEOUT;
}
