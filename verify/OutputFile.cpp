// COutputFile: one slim lock and two condition variables between the run and its writer, which under Wine stay in
// user space; the run hands text over a block at a time, so the writer wakes once per block, not once per line.
#include "OutputFile.h"

namespace
{
// How often a wait for the writer asks whether to give up: well inside the fifth of a second a break must take.
const DWORD kSliceMs = 20;
// Text gathered on the run's side before it is handed over: the writer's own block.
const size_t kHandover = 0x10000;
}

struct COutputFile::State
{
    explicit State(CManifestWriter::PFN_MOVE pfnMove) : writer(pfnMove) {}

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE cvWork = CONDITION_VARIABLE_INIT;  // the writer, waiting for text or the commit
    CONDITION_VARIABLE cvDone = CONDITION_VARIABLE_INIT;  // the run, waiting for the writer
    CManifestWriter writer;  // the writer thread's alone
    std::wstring path;
    std::string queued;
    bool bOpened = false, bOpenOk = false;
    bool bCommitAsked = false, bCommitted = false, bCommitOk = false;
    bool bAbandon = false;  // the run no longer wants the file: nothing is put in place from now on
    DWORD dwError = 0;
    std::wstring kept;

    void Main();
    static bool StillWanted(void* pContext)
    {
        State& st = *static_cast<State*>(pContext);
        ::AcquireSRWLockExclusive(&st.lock);
        const bool bWanted = !st.bAbandon;
        ::ReleaseSRWLockExclusive(&st.lock);
        return bWanted;
    }
    // Owns a reference of its own: a writer the device holds outlives the run's object, and the process ends it.
    static DWORD WINAPI Proc(LPVOID pParam)
    {
        const std::unique_ptr<std::shared_ptr<State>> held(static_cast<std::shared_ptr<State>*>(pParam));
        (*held)->Main();
        return 0;
    }
};

void COutputFile::State::Main()
{
    const bool bOk = writer.Open(path);
    ::AcquireSRWLockExclusive(&lock);
    bOpened = true;
    bOpenOk = bOk;
    dwError = writer.Error();
    ::WakeAllConditionVariable(&cvDone);
    while (bOk && !bAbandon)
    {
        if (!queued.empty())
        {
            std::string text;
            text.swap(queued);
            ::WakeAllConditionVariable(&cvDone);  // room for more
            ::ReleaseSRWLockExclusive(&lock);
            writer.Add(text);
            ::AcquireSRWLockExclusive(&lock);
            dwError = writer.Error();
            continue;
        }
        if (bCommitAsked)
        {
            ::ReleaseSRWLockExclusive(&lock);
            const bool bDone = writer.Commit(StillWanted, this);
            ::AcquireSRWLockExclusive(&lock);
            bCommitted = true;
            bCommitOk = bDone;
            dwError = writer.Error();
            kept = writer.KeptPath();
            ::WakeAllConditionVariable(&cvDone);
            break;
        }
        ::SleepConditionVariableSRW(&cvWork, &lock, INFINITE, 0);
    }
    const bool bLeft = bOk && !bCommitted;
    ::ReleaseSRWLockExclusive(&lock);
    if (bLeft)
        writer.Abandon();
}

COutputFile::COutputFile(CManifestWriter::PFN_MOVE pfnMove) : m_pfnMove(pfnMove)
{
}

COutputFile::~COutputFile()
{
    Abandon();
}

void COutputFile::SetGiveUp(PFN_GIVE_UP pfnGiveUp, void* pContext)
{
    m_pfnGiveUp = pfnGiveUp;
    m_pContext = pContext;
}

// True once bDone holds; false when the run gave the wait up first.
bool COutputFile::Wait(const bool& bDone)
{
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    while (!bDone)
    {
        ::SleepConditionVariableSRW(&st.cvDone, &st.lock, kSliceMs, 0);
        if (bDone || !m_pfnGiveUp)
            continue;
        ::ReleaseSRWLockExclusive(&st.lock);
        if (m_pfnGiveUp(m_pContext))
            return false;
        ::AcquireSRWLockExclusive(&st.lock);
    }
    ::ReleaseSRWLockExclusive(&st.lock);
    return true;
}

bool COutputFile::Open(const std::wstring& path)
{
    Abandon();
    m_bGivenUp = false;
    m_pState = std::make_shared<State>(m_pfnMove);
    m_pState->path = path;
    auto* pParam = new std::shared_ptr<State>(m_pState);
    HANDLE h = ::CreateThread(nullptr, 0, State::Proc, pParam, 0, nullptr);
    if (!h)
    {
        const DWORD dwError = ::GetLastError();
        delete pParam;
        m_pState->dwError = dwError ? dwError : ERROR_GEN_FAILURE;
        return false;
    }
    ::CloseHandle(h);
    if (!Wait(m_pState->bOpened))
    {
        GiveUp();
        return false;
    }
    ::AcquireSRWLockShared(&m_pState->lock);
    m_bOpen = m_pState->bOpenOk;
    ::ReleaseSRWLockShared(&m_pState->lock);
    return m_bOpen;
}

bool COutputFile::IsOpen() const
{
    return m_bOpen;
}

// The text gathered goes to the writer, waiting while the writer holds more than kQueued.
void COutputFile::Hand()
{
    if (m_local.empty())
        return;
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    while (st.dwError == 0 && !st.queued.empty() && st.queued.size() + m_local.size() > kQueued)
    {
        ::SleepConditionVariableSRW(&st.cvDone, &st.lock, kSliceMs, 0);
        if (st.dwError != 0 || st.queued.size() + m_local.size() <= kQueued || !m_pfnGiveUp)
            continue;
        ::ReleaseSRWLockExclusive(&st.lock);
        if (m_pfnGiveUp(m_pContext))
        {
            GiveUp();
            return;
        }
        ::AcquireSRWLockExclusive(&st.lock);
    }
    if (st.dwError == 0)
    {
        if (st.queued.empty())
        {
            st.queued.swap(m_local);
            ::WakeConditionVariable(&st.cvWork);
        }
        else
            st.queued += m_local;
    }
    m_bFailed = st.dwError != 0;
    ::ReleaseSRWLockExclusive(&st.lock);
    m_local.clear();
}

bool COutputFile::Add(const std::string& text)
{
    if (m_bGivenUp)
        return true;
    if (!m_bOpen || m_bFailed)
        return false;
    m_local += text;
    if (m_local.size() >= kHandover)
        Hand();
    return m_bGivenUp || !m_bFailed;
}

bool COutputFile::Commit()
{
    if (!m_bOpen)
        return false;
    Hand();
    if (m_bGivenUp)
        return false;
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    st.bCommitAsked = true;
    ::WakeConditionVariable(&st.cvWork);
    ::ReleaseSRWLockExclusive(&st.lock);
    m_bOpen = false;
    if (!Wait(st.bCommitted))
    {
        GiveUp();
        return false;
    }
    ::AcquireSRWLockShared(&st.lock);
    const bool bOk = st.bCommitOk;
    ::ReleaseSRWLockShared(&st.lock);
    return bOk;
}

// The run stops waiting: the writer drops the file at its next step, and a writer held by the device is left to
// the end of the process, whose handles the system closes (and so deletes the file).
void COutputFile::GiveUp()
{
    Abandon();
    m_bGivenUp = true;
}

void COutputFile::Abandon()
{
    m_local.clear();
    m_bOpen = false;
    if (!m_pState)
        return;
    ::AcquireSRWLockExclusive(&m_pState->lock);
    m_pState->bAbandon = true;
    ::WakeConditionVariable(&m_pState->cvWork);
    ::ReleaseSRWLockExclusive(&m_pState->lock);
}

DWORD COutputFile::Error() const
{
    if (m_bGivenUp)
        return ERROR_CANCELLED;
    if (!m_pState)
        return 0;
    ::AcquireSRWLockShared(&m_pState->lock);
    const DWORD dwError = m_pState->dwError;
    ::ReleaseSRWLockShared(&m_pState->lock);
    return dwError;
}

std::wstring COutputFile::KeptPath() const
{
    if (!m_pState)
        return std::wstring();
    ::AcquireSRWLockShared(&m_pState->lock);
    const std::wstring kept = m_pState->kept;
    ::ReleaseSRWLockShared(&m_pState->lock);
    return kept;
}
