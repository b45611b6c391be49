// CPairStream: the readers, the comparer and their hand-offs, all under one slim lock with condition variables.
//
// Each side has a ring of slots that its reader fills in job order; a job's last slot on a side is marked (a short
// read is the end of a file). The comparer takes the next slot of each side, so a pair's bytes are compared while
// the readers already open and read the next pairs, and it closes a pair's files when it is done with them. Waits
// are condition variables: a hand-off to a thread that is not waiting costs no kernel call (under Wine no server
// round trip).
#include "PairStream.h"
#include "ExactPath.h"
#include "FileAccess.h"
#include <atomic>
#include <cstring>
#include <map>
#include <string>

namespace
{
const UINT32 kStride = FileAccess::kNormalBlock;  // slot spacing: page-aligned, and fits every block

struct Slot
{
    size_t nJob;
    UINT32 nBytes;
    bool bLast;   // the side's last slot of this job
    bool bError;  // the read failed
};

// What the readers find when they open a job's files, and what is decided from it. A reader does not wait for
// the other side: it reads on and the second to arrive decides; a job that will not be compared is abandoned, and
// its readers stop at their next slot. Each side that opened fills slots for the job, ending with a last one.
struct JobState
{
    bool bPublished[2] = {false, false};
    bool bDecided = false;
    bool bRead = false;     // both opened with equal sizes: the bytes are compared
    bool bAbandon = false;  // the verdict is known: readers stop reading it
    bool bVerdict = false;
    bool bFast[2] = {false, false};  // each side read unbuffered
    UINT64 nIndex[2] = {0, 0};
    HANDLE hFile[2] = {nullptr, nullptr};  // kept open until the comparer is done with the job
    CStreamVerdict verdict;
};
}

struct CPairStream::State
{
    SRWLOCK lock = SRWLOCK_INIT;
    // The comparer sleeps on one condition and is woken only when what it waits for has come: the hand-offs of
    // many small files are otherwise a wake-up (a futex call and a switch of threads) for every slot and side.
    CONDITION_VARIABLE cvComparer = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE cvFree[2] = {CONDITION_VARIABLE_INIT, CONDITION_VARIABLE_INIT};  // a slot freed (a reader)
    CONDITION_VARIABLE cvVerdict = CONDITION_VARIABLE_INIT;  // the owner, who looks by itself now and then

    const std::vector<CStreamJob>* pJobs = nullptr;
    std::vector<JobState> jobs;
    bool bFastMode = false;
    bool bStop = false;
    bool bLeftBehind = false;  // a thread did not end when stopped: the state is its for good

    BYTE* pBuffer[2] = {nullptr, nullptr};
    Slot slots[2][kSlots] = {};
    UINT64 nHead[2] = {0, 0};  // slots taken by the comparer; counts, the ring index is the count modulo kSlots
    UINT64 nTail[2] = {0, 0};  // slots filled by the reader
    HANDLE hThread[3] = {nullptr, nullptr, nullptr};  // readers of sides 1 and 2, comparer

    // What the sleeping comparer waits for: job nWaitJob decided, or a slot of each side it still needs.
    bool bComparerWaits = false;
    size_t nWaitJob = 0;
    bool bNeedSlot[2] = {false, false};

    // Sector size per folder, and per volume root, asked once: 0 where the volume's cannot be had.
    SRWLOCK volumeLock = SRWLOCK_INIT;
    std::map<std::wstring, UINT32> sectorOfFolder;
    std::map<std::wstring, UINT32> sectorOfVolume;

    // Progress, read by the owner without the lock.
    std::atomic<size_t> nCompareJob{0};
    std::atomic<UINT64> nCompareBytes{0};
    std::atomic<size_t> nReadJob[2] = {0, 0};
    std::atomic<UINT64> nReadBytes[2] = {0, 0};

    ~State()
    {
        for (BYTE* p : pBuffer)
            if (p)
                ::VirtualFree(p, 0, MEM_RELEASE);
        for (HANDLE h : hThread)
            if (h)
                ::CloseHandle(h);
        for (JobState& job : jobs)
            for (HANDLE h : job.hFile)
                if (h)
                    ::CloseHandle(h);
    }

    UINT32 SectorSize(LPCWSTR pszPath);
    UINT32 BlockFor(size_t j);
    void Decide(size_t j);
    void WakeComparer();
    void ReaderMain(int s);
    bool ReadJob(int s, size_t j, HANDLE h, UINT32 nBlock, bool bFast);
    void ComparerMain();
    bool CompareJob(size_t j, CStreamVerdict& v);
    void Publish(size_t j, const CStreamVerdict& v);

    static DWORD WINAPI Reader1Proc(LPVOID p) { static_cast<State*>(p)->ReaderMain(0); return 0; }
    static DWORD WINAPI Reader2Proc(LPVOID p) { static_cast<State*>(p)->ReaderMain(1); return 0; }
    static DWORD WINAPI ComparerProc(LPVOID p) { static_cast<State*>(p)->ComparerMain(); return 0; }
};

UINT32 CPairStream::State::SectorSize(LPCWSTR pszPath)
{
    // Every file of a folder lies on the folder's volume (only a folder can be a mount point), so the volume is
    // looked up once per folder and its sector size once per volume: GetVolumePathName is far from free.
    const std::wstring path(pszPath);
    const size_t nSlash = path.rfind(L'\\');
    if (nSlash == std::wstring::npos)
        return 0;
    const std::wstring folder = path.substr(0, nSlash + 1);
    ::AcquireSRWLockShared(&volumeLock);
    auto known = sectorOfFolder.find(folder);
    const bool bKnown = known != sectorOfFolder.end();
    const UINT32 nKnown = bKnown ? known->second : 0;
    ::ReleaseSRWLockShared(&volumeLock);
    if (bKnown)
        return nKnown;

    UINT32 nSector = 0;
    const std::wstring exact = ToExactPath(folder.c_str());
    std::wstring root(exact.size() + 2, L'\0');
    if (::GetVolumePathNameW(exact.c_str(), &root[0], static_cast<DWORD>(root.size())))
    {
        root.resize(std::wcslen(root.c_str()));
        ::AcquireSRWLockShared(&volumeLock);
        auto volume = sectorOfVolume.find(root);
        const bool bVolumeKnown = volume != sectorOfVolume.end();
        nSector = bVolumeKnown ? volume->second : 0;
        ::ReleaseSRWLockShared(&volumeLock);
        if (!bVolumeKnown)
        {
            DWORD dwSectorsPerCluster, dwBytesPerSector, dwFree, dwTotal;
            if (::GetDiskFreeSpaceW(root.c_str(), &dwSectorsPerCluster, &dwBytesPerSector, &dwFree, &dwTotal))
                nSector = dwBytesPerSector;
            ::AcquireSRWLockExclusive(&volumeLock);
            sectorOfVolume[root] = nSector;
            ::ReleaseSRWLockExclusive(&volumeLock);
        }
    }
    ::AcquireSRWLockExclusive(&volumeLock);
    sectorOfFolder[folder] = nSector;
    ::ReleaseSRWLockExclusive(&volumeLock);
    return nSector;
}

UINT32 CPairStream::State::BlockFor(size_t j)
{
    // Both readers work the block out alike from both paths, so the two sides' slots always hold the same range.
    const CStreamJob& job = (*pJobs)[j];
    return FileAccess::FitBlockSize(SectorSize(job.pszPath[0]), SectorSize(job.pszPath[1]));
}

void CPairStream::State::Decide(size_t j)
{
    JobState& job = jobs[j];
    const CStreamVerdict& v = job.verdict;
    job.bDecided = true;
    job.bRead = v.bOpened[0] && v.bOpened[1] && v.nSize[0] == v.nSize[1];
    job.bAbandon = !job.bRead;
}

// Called under the lock by whoever changed what the comparer may be waiting for.
void CPairStream::State::WakeComparer()
{
    if (!bComparerWaits)
        return;
    const JobState& job = jobs[nWaitJob];
    bool bReady = job.bDecided;
    for (int s = 0; s < 2; ++s)
        bReady = bReady && (!bNeedSlot[s] || nHead[s] < nTail[s]);
    if (bReady || bStop)
        ::WakeConditionVariable(&cvComparer);
}

void CPairStream::State::ReaderMain(int s)
{
    const std::vector<CStreamJob>& list = *pJobs;
    for (size_t j = 0; j < list.size(); ++j)
    {
        const LPCWSTR pszPath = list[j].pszPath[s];
        // Share read: an indexer or a virus scanner that only reads does not stop the check, while nobody can
        // write, rename or delete the file under it.
        const DWORD dwShare = FILE_SHARE_READ;
        UINT32 nBlock = bFastMode ? BlockFor(j) : 0;
        bool bFast = false;
        HANDLE h = INVALID_HANDLE_VALUE;
        if (nBlock)
        {
            h = FileAccess::OpenDiskFile(pszPath, dwShare, FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN);
            bFast = h != INVALID_HANDLE_VALUE;
        }
        else
            nBlock = FileAccess::kNormalBlock;
        if (!bFast)
            h = FileAccess::OpenDiskFile(pszPath, dwShare, FILE_FLAG_SEQUENTIAL_SCAN);
        UINT64 nIndex = 0;
        LARGE_INTEGER size{};
        // The size from the handle: a directory entry of a hard link or a link can hold a stale or zero size.
        const bool bOpened = h != INVALID_HANDLE_VALUE && ::GetFileSizeEx(h, &size) && FileAccess::GetFileIndex(h, nIndex);
        if (!bOpened && h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);

        ::AcquireSRWLockExclusive(&lock);
        JobState& job = jobs[j];
        job.verdict.bOpened[s] = bOpened;
        job.verdict.nSize[s] = bOpened ? static_cast<UINT64>(size.QuadPart) : 0;
        job.nIndex[s] = nIndex;
        job.hFile[s] = bOpened ? h : nullptr;
        job.bFast[s] = bFast;
        job.bPublished[s] = true;
        if (job.bPublished[1 - s])
        {
            Decide(j);
            WakeComparer();
        }
        const bool bStopped = bStop;
        ::ReleaseSRWLockExclusive(&lock);
        if (bStopped || (bOpened && !ReadJob(s, j, h, nBlock, bFast)))
            break;
    }
}

// Fills this side's slots with job j until its end, an error or the word that its verdict is known; false when
// the run stops. The handle stays the job's: the comparer closes it when it is done with the pair.
bool CPairStream::State::ReadJob(int s, size_t j, HANDLE h, UINT32 nBlock, bool bFast)
{
    nReadBytes[s].store(0, std::memory_order_relaxed);
    nReadJob[s].store(j, std::memory_order_relaxed);
    bool bFirst = true;
    for (;;)
    {
        ::AcquireSRWLockExclusive(&lock);
        // Also an abandoned job ends with a slot of its own, so the comparer knows where the next one begins.
        while (!bStop && nTail[s] - nHead[s] == kSlots)
            ::SleepConditionVariableSRW(&cvFree[s], &lock, INFINITE, 0);
        const bool bStopped = bStop;
        const bool bAbandon = jobs[j].bAbandon;
        const UINT32 nIndex = static_cast<UINT32>(nTail[s] % kSlots);
        ::ReleaseSRWLockExclusive(&lock);
        if (bStopped)
            return false;

        Slot slot{j, 0, true, false};
        if (!bAbandon)
        {
            BYTE* p = pBuffer[s] + static_cast<size_t>(nIndex) * kStride;
            DWORD dwRead = 0;
            BOOL bOk = ::ReadFile(h, p, nBlock, &dwRead, nullptr);
            if (!bOk && bFast && bFirst && !bStop)
            {
                // Some volumes open unbuffered but refuse the reads (a share whose server cannot): this side of
                // the pair is read through the cache instead, and the pair's mode says so.
                HANDLE hBuffered = FileAccess::OpenDiskFile((*pJobs)[j].pszPath[s], FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
                bFast = false;
                bOk = hBuffered != INVALID_HANDLE_VALUE && ::ReadFile(hBuffered, p, nBlock, &dwRead, nullptr);
                ::AcquireSRWLockExclusive(&lock);
                jobs[j].bFast[s] = false;
                if (hBuffered != INVALID_HANDLE_VALUE)
                {
                    ::CloseHandle(h);
                    jobs[j].hFile[s] = h = hBuffered;
                }
                ::ReleaseSRWLockExclusive(&lock);
            }
            bFirst = false;
            slot.nBytes = bOk ? dwRead : 0;
            slot.bError = !bOk;
            // A synchronous read of a disk file returns less than asked only at its end.
            slot.bLast = !bOk || dwRead < nBlock;
            nReadBytes[s].fetch_add(slot.nBytes, std::memory_order_relaxed);
        }

        ::AcquireSRWLockExclusive(&lock);
        slots[s][nIndex] = slot;
        ++nTail[s];
        WakeComparer();
        ::ReleaseSRWLockExclusive(&lock);
        if (slot.bLast)
            return true;
    }
}

void CPairStream::State::ComparerMain()
{
    const size_t n = pJobs->size();
    for (size_t j = 0; j < n; ++j)
    {
        ::AcquireSRWLockExclusive(&lock);
        while (!bStop && !jobs[j].bDecided)
        {
            bComparerWaits = true;
            nWaitJob = j;
            bNeedSlot[0] = bNeedSlot[1] = false;
            ::SleepConditionVariableSRW(&cvComparer, &lock, INFINITE, 0);
            bComparerWaits = false;
        }
        if (bStop)
        {
            ::ReleaseSRWLockExclusive(&lock);
            return;
        }
        CStreamVerdict v = jobs[j].verdict;
        const bool bRead = jobs[j].bRead;
        const bool bSameIndex = jobs[j].nIndex[0] == jobs[j].nIndex[1];
        ::ReleaseSRWLockExclusive(&lock);

        v.bRead = bRead;
        nCompareBytes.store(0, std::memory_order_relaxed);
        nCompareJob.store(j, std::memory_order_relaxed);
        if (!CompareJob(j, v))
            return;
        if (!v.bOpened[0] || !v.bOpened[1])
            v.result = CStreamVerdict::kCannotOpen;
        else if (!bRead)
            v.result = CStreamVerdict::kSize;
        // Files with different indexes are different files; where the indexes agree, the whole identities tell.
        // Either way the bytes decided: an identity from a network server can collide.
        HANDLE* ahFile = jobs[j].hFile;  // no reader touches the job's handles once its last slots are taken
        FileAccess::CFileIdentity identity[2];
        v.bSameFile = v.bOpened[0] && v.bOpened[1] && bSameIndex && FileAccess::GetFileIdentity(ahFile[0], identity[0]) &&
                      FileAccess::GetFileIdentity(ahFile[1], identity[1]) && identity[0] == identity[1];
        for (int s = 0; s < 2; ++s)
            if (ahFile[s])
            {
                ::CloseHandle(ahFile[s]);
                ahFile[s] = nullptr;
            }
        Publish(j, v);
    }
}

// Takes job j's slots of each side that opened, up to that side's last one; when both opened with equal sizes the
// bytes are compared, and the verdict is known at the first slot that tells. False when the run stops.
bool CPairStream::State::CompareJob(size_t j, CStreamVerdict& v)
{
    const UINT64 nSize = v.nSize[0];
    bool bEnded[2] = {!v.bOpened[0], !v.bOpened[1]};
    bool bPending = v.bRead;
    UINT64 nCompared = 0;
    while (!bEnded[0] || !bEnded[1])
    {
        ::AcquireSRWLockExclusive(&lock);
        while (!bStop && !((bEnded[0] || nHead[0] < nTail[0]) && (bEnded[1] || nHead[1] < nTail[1])))
        {
            bComparerWaits = true;
            nWaitJob = j;
            bNeedSlot[0] = !bEnded[0];
            bNeedSlot[1] = !bEnded[1];
            ::SleepConditionVariableSRW(&cvComparer, &lock, INFINITE, 0);
            bComparerWaits = false;
        }
        if (bStop)
        {
            ::ReleaseSRWLockExclusive(&lock);
            return false;
        }
        const Slot a = slots[0][nHead[0] % kSlots];
        const Slot b = slots[1][nHead[1] % kSlots];
        ::ReleaseSRWLockExclusive(&lock);

        if (bPending)
        {
            // Pending, neither side has ended yet, so both slots belong to this job.
            bPending = false;
            const BYTE* p1 = pBuffer[0] + static_cast<size_t>(nHead[0] % kSlots) * kStride;
            const BYTE* p2 = pBuffer[1] + static_cast<size_t>(nHead[1] % kSlots) * kStride;
            const UINT32 nBoth = a.nBytes < b.nBytes ? a.nBytes : b.nBytes;
            if (a.bError || b.bError)
                v.result = CStreamVerdict::kReadError;
            else if (std::memcmp(p1, p2, nBoth) != 0)
            {
                v.result = CStreamVerdict::kDiffers;
                v.nFirstDifference = nCompared + FileAccess::FirstMismatch(p1, p2, nBoth);
            }
            else if (a.nBytes != b.nBytes || (a.bLast && nCompared + nBoth < nSize))
            {
                // One file ended before the other, or both before the size they had when opened: their length
                // changed while they were read. Fewer bytes than the size were compared; that is not "same".
                nCompared += nBoth;
                v.result = CStreamVerdict::kDiffers;
                v.nFirstDifference = nCompared;
            }
            else
            {
                nCompared += nBoth;
                nCompareBytes.store(nCompared, std::memory_order_relaxed);
                if (a.bLast)
                    v.result = CStreamVerdict::kSame;
                else
                    bPending = true;
            }
        }

        ::AcquireSRWLockExclusive(&lock);
        for (int s = 0; s < 2; ++s)
            if (!bEnded[s])
            {
                bEnded[s] = (s == 0 ? a : b).bLast;
                ++nHead[s];
                ::WakeConditionVariable(&cvFree[s]);
            }
        if (!bPending)
            jobs[j].bAbandon = true;
        ::ReleaseSRWLockExclusive(&lock);
    }
    v.nBytesCompared = nCompared;
    return true;
}

void CPairStream::State::Publish(size_t j, const CStreamVerdict& v)
{
    ::AcquireSRWLockExclusive(&lock);
    jobs[j].verdict = v;
    jobs[j].verdict.bFast = v.bRead && jobs[j].bFast[0] && jobs[j].bFast[1];
    jobs[j].bVerdict = true;
    ::ReleaseSRWLockExclusive(&lock);
}

CPairStream::CPairStream() : m_pState(nullptr)
{
}

CPairStream::~CPairStream()
{
    // A state whose threads were left behind stays theirs; the process ends around them.
    if (m_pState && !m_pState->bLeftBehind)
    {
        Stop(INFINITE);
        delete m_pState;
    }
}

bool CPairStream::Start(const std::vector<CStreamJob>& jobs, bool bFastMode)
{
    if (m_pState && !m_pState->bLeftBehind)
    {
        Stop(INFINITE);
        delete m_pState;
    }
    m_pState = new State;
    State& st = *m_pState;
    st.pJobs = &jobs;
    st.jobs.resize(jobs.size());
    st.bFastMode = bFastMode;
    for (int s = 0; s < 2; ++s)
    {
        // Committed once for the whole run, page-aligned as unbuffered reads need, whatever the tree.
        st.pBuffer[s] = static_cast<BYTE*>(::VirtualAlloc(nullptr, static_cast<size_t>(kSlots) * kStride, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!st.pBuffer[s])
        {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    LPTHREAD_START_ROUTINE const apfn[3] = {State::Reader1Proc, State::Reader2Proc, State::ComparerProc};
    for (int t = 0; t < 3; ++t)
    {
        st.hThread[t] = ::CreateThread(nullptr, 0, apfn[t], &st, 0, nullptr);
        if (!st.hThread[t])
        {
            const DWORD dwError = ::GetLastError();
            Stop(INFINITE);
            ::SetLastError(dwError ? dwError : ERROR_OUTOFMEMORY);
            return false;
        }
    }
    return true;
}

bool CPairStream::WaitVerdict(size_t i, DWORD dwMs, CStreamVerdict& verdict)
{
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    // Nobody wakes the owner for a verdict: it looks again after dwMs. Rows then come at most that late, and the
    // comparer saves a wake-up of another thread for every pair.
    if (!st.jobs[i].bVerdict && !st.bStop)
        ::SleepConditionVariableSRW(&st.cvVerdict, &st.lock, dwMs, 0);
    const bool bReady = st.jobs[i].bVerdict;
    if (bReady)
        verdict = st.jobs[i].verdict;
    ::ReleaseSRWLockExclusive(&st.lock);
    return bReady;
}

void CPairStream::PeekVerdict(size_t i, CStreamVerdict& verdict)
{
    State& st = *m_pState;
    ::AcquireSRWLockShared(&st.lock);
    verdict = st.jobs[i].verdict;
    verdict.bRead = st.jobs[i].bRead;
    verdict.bFast = verdict.bRead && st.jobs[i].bFast[0] && st.jobs[i].bFast[1];
    ::ReleaseSRWLockShared(&st.lock);
}

void CPairStream::GetProgress(CStreamProgress& progress)
{
    State& st = *m_pState;
    const size_t j = st.nCompareJob.load(std::memory_order_relaxed);
    progress.nJob = j;
    progress.nBytesCompared = st.nCompareBytes.load(std::memory_order_relaxed);
    ::AcquireSRWLockShared(&st.lock);
    progress.nFileSize = j < st.jobs.size() ? st.jobs[j].verdict.nSize[0] : 0;
    ::ReleaseSRWLockShared(&st.lock);
    for (int s = 0; s < 2; ++s)
    {
        // A reader already past the comparer's pair has read all of it.
        const size_t r = st.nReadJob[s].load(std::memory_order_relaxed);
        progress.nBytesRead[s] = r == j ? st.nReadBytes[s].load(std::memory_order_relaxed) : r > j ? progress.nFileSize : 0;
    }
}

bool CPairStream::Stop(DWORD dwMs)
{
    if (!m_pState || m_pState->bLeftBehind)
        return !m_pState;
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    st.bStop = true;
    ::WakeAllConditionVariable(&st.cvComparer);
    ::WakeAllConditionVariable(&st.cvFree[0]);
    ::WakeAllConditionVariable(&st.cvFree[1]);
    ::WakeAllConditionVariable(&st.cvVerdict);
    ::ReleaseSRWLockExclusive(&st.lock);

    HANDLE ahRunning[3];
    DWORD nRunning = 0;
    for (HANDLE h : st.hThread)
        if (h)
            ahRunning[nRunning++] = h;
    if (nRunning == 0)
        return true;
    // A reader blocked in a read of a stalled share or a sleeping disk sees the flag only when the read returns:
    // cancel the read, again now and then, since it may have started just after the first cancel.
    const ULONGLONG nDeadline = dwMs == INFINITE ? ~0ULL : ::GetTickCount64() + dwMs;
    for (;;)
    {
        ::CancelSynchronousIo(st.hThread[0]);
        ::CancelSynchronousIo(st.hThread[1]);
        const ULONGLONG now = ::GetTickCount64();
        const DWORD dwStep = now >= nDeadline ? 0 : static_cast<DWORD>(nDeadline - now < 20 ? nDeadline - now : 20);
        if (::WaitForMultipleObjects(nRunning, ahRunning, TRUE, dwStep) != WAIT_TIMEOUT)
            return true;
        if (::GetTickCount64() >= nDeadline)
        {
            st.bLeftBehind = true;
            return false;
        }
    }
}
