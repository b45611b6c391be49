// CPairStream: the readers, the comparer and their hand-offs, all under one slim lock with condition variables.
//
// Each side has a ring of slots that its reader fills in job order; a job's last slot on a side is marked (a short
// read is the end of a file). The comparer takes the next slot of each side, so a pair's bytes are compared while
// the readers already open and read the next pairs. Waits are condition variables: a hand-off to a thread that
// is not waiting costs no kernel call (under Wine no server round trip), which is what makes small files cheap.
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

struct Identity
{
    UINT64 nIndex = 0;  // the file system's 64-bit file index: equal for one file, possibly for two
    ULONGLONG nVolume = 0;
    BYTE id[16] = {};
    bool bFull = false;  // nVolume and id known
};

// The file index from the handle, through ntdll, which Win32 has no call for. GetFileInformationByHandle also
// asks the volume's serial, which under Wine is a round trip to its mount manager (over a millisecond a file):
// the index alone tells two files apart, and only where two indexes agree is the whole identity asked.
typedef LONG(NTAPI* PFN_NT_QUERY_INFORMATION_FILE)(HANDLE, void*, void*, ULONG, int);
const int kFileInternalInformation = 6;

bool GetFileIndex(HANDLE h, UINT64& nIndex)
{
    static const PFN_NT_QUERY_INFORMATION_FILE pfn = reinterpret_cast<PFN_NT_QUERY_INFORMATION_FILE>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    struct
    {
        void* pStatus;
        ULONG_PTR nInformation;
    } ioStatus{};
    LARGE_INTEGER index{};
    if (pfn && pfn(h, &ioStatus, &index, sizeof index, kFileInternalInformation) >= 0)
    {
        nIndex = static_cast<UINT64>(index.QuadPart);
        return true;
    }
    return false;
}

// FILE_ID_INFO and its class, which the headers only declare for Windows 8 and later; older systems refuse the
// class and the 64-bit file index with the volume's serial stands in.
const FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdInfo
{
    ULONGLONG VolumeSerialNumber;
    BYTE FileId[16];
};

// The volume serial and file ID of an open file: 128 bits where the system has them (ReFS needs them), else 64.
bool GetFullIdentity(HANDLE h, Identity& identity)
{
    FileIdInfo info;
    if (::GetFileInformationByHandleEx(h, kFileIdInfo, &info, sizeof info))
    {
        identity.nVolume = info.VolumeSerialNumber;
        std::memcpy(identity.id, info.FileId, sizeof identity.id);
        identity.bFull = true;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION bhfi;
    if (!::GetFileInformationByHandle(h, &bhfi))
        return false;
    identity.nVolume = bhfi.dwVolumeSerialNumber;
    const UINT64 index = (static_cast<UINT64>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow;
    std::memcpy(identity.id, &index, sizeof index);
    identity.bFull = true;
    return true;
}

struct Slot
{
    size_t nJob;
    UINT32 nBytes;
    bool bLast;   // the side's last slot of this job
    bool bError;  // the read failed
};

// What the two readers find when they open a job's files; the second to arrive decides whether it is read.
struct JobState
{
    bool bPublished[2] = {false, false};
    bool bDecided = false;
    bool bRead = false;     // both opened with equal sizes: the readers fill slots for it
    bool bAbandon = false;  // the verdict is known: readers stop reading it
    bool bVerdict = false;
    bool bFast[2] = {false, false};  // each side read unbuffered
    bool bAskIdentity[2] = {false, false};  // the reader still has to ask its file's whole identity
    Identity identity[2];
    CStreamVerdict verdict;
};
}

struct CPairStream::State
{
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE cvDecided = CONDITION_VARIABLE_INIT;  // a job decided (readers and comparer wait)
    CONDITION_VARIABLE cvFilled = CONDITION_VARIABLE_INIT;   // a slot filled (the comparer waits)
    CONDITION_VARIABLE cvFree[2] = {CONDITION_VARIABLE_INIT, CONDITION_VARIABLE_INIT};  // a slot freed (a reader)
    CONDITION_VARIABLE cvVerdict = CONDITION_VARIABLE_INIT;  // a verdict ready (the owner waits)

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
    }

    UINT32 SectorSize(LPCWSTR pszPath);
    UINT32 BlockFor(size_t j);
    void Decide(size_t j);
    void ReaderMain(int s);
    bool ReadJob(int s, size_t j, HANDLE& h, UINT32 nBlock, bool& bFast);
    void ComparerMain();
    void CompareJob(size_t j, CStreamVerdict& v);
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
    CStreamVerdict& v = job.verdict;
    job.bDecided = true;
    if (v.bOpened[0] && v.bOpened[1])
    {
        // Files with different indexes are different files. Where they agree, each reader asks its file's whole
        // identity. Either way the bytes still decide: an identity from a network server can collide.
        job.bAskIdentity[0] = job.bAskIdentity[1] = job.identity[0].nIndex == job.identity[1].nIndex;
        job.bRead = v.nSize[0] == v.nSize[1];
    }
    ::WakeAllConditionVariable(&cvDecided);
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
        Identity identity;
        LARGE_INTEGER size{};
        // The size from the handle: a directory entry of a hard link or a link can hold a stale or zero size.
        const bool bOpened = h != INVALID_HANDLE_VALUE && ::GetFileSizeEx(h, &size) && GetFileIndex(h, identity.nIndex);

        ::AcquireSRWLockExclusive(&lock);
        JobState& job = jobs[j];
        job.verdict.bOpened[s] = bOpened;
        job.verdict.nSize[s] = bOpened ? static_cast<UINT64>(size.QuadPart) : 0;
        job.identity[s] = identity;
        job.bPublished[s] = true;
        if (job.bPublished[1 - s])
            Decide(j);
        while (!bStop && !job.bDecided)
            ::SleepConditionVariableSRW(&cvDecided, &lock, INFINITE, 0);
        if (job.bAskIdentity[s])
        {
            // Rare: both indexes agree. Asked outside the lock; the comparer waits for both answers.
            ::ReleaseSRWLockExclusive(&lock);
            Identity full;
            GetFullIdentity(h, full);
            ::AcquireSRWLockExclusive(&lock);
            job.identity[s] = full;
            job.bAskIdentity[s] = false;
            if (!job.bAskIdentity[1 - s])
                job.verdict.bSameFile = job.identity[0].bFull && job.identity[1].bFull &&
                                        job.identity[0].nVolume == job.identity[1].nVolume &&
                                        std::memcmp(job.identity[0].id, job.identity[1].id, sizeof full.id) == 0;
            ::WakeAllConditionVariable(&cvDecided);
        }
        const bool bRead = !bStop && job.bRead;
        job.bFast[s] = bFast;
        ::ReleaseSRWLockExclusive(&lock);

        const bool bGoOn = !bRead || ReadJob(s, j, h, nBlock, bFast);
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
        if (!bGoOn || bStop)
            break;
    }
}

// Fills this side's slots with job j until its end, an error or the comparer's word; false when the run stops.
bool CPairStream::State::ReadJob(int s, size_t j, HANDLE& h, UINT32 nBlock, bool& bFast)
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
                ::CloseHandle(h);
                h = FileAccess::OpenDiskFile((*pJobs)[j].pszPath[s], FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
                bFast = false;
                ::AcquireSRWLockExclusive(&lock);
                jobs[j].bFast[s] = false;
                ::ReleaseSRWLockExclusive(&lock);
                bOk = h != INVALID_HANDLE_VALUE && ::ReadFile(h, p, nBlock, &dwRead, nullptr);
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
        ::WakeConditionVariable(&cvFilled);
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
        while (!bStop && (!jobs[j].bDecided || jobs[j].bAskIdentity[0] || jobs[j].bAskIdentity[1]))
            ::SleepConditionVariableSRW(&cvDecided, &lock, INFINITE, 0);
        if (bStop)
        {
            ::ReleaseSRWLockExclusive(&lock);
            return;
        }
        CStreamVerdict v = jobs[j].verdict;
        const bool bRead = jobs[j].bRead;
        ::ReleaseSRWLockExclusive(&lock);

        if (!v.bOpened[0] || !v.bOpened[1])
            v.result = CStreamVerdict::kCannotOpen;
        else if (!bRead)
            v.result = CStreamVerdict::kSize;
        else
        {
            v.bRead = true;
            nCompareBytes.store(0, std::memory_order_relaxed);
            nCompareJob.store(j, std::memory_order_relaxed);
            CompareJob(j, v);
            if (v.result == CStreamVerdict::kInterrupted)
                return;
        }
        Publish(j, v);
    }
}

// Takes job j's slots of both sides until each side's last one; the verdict is known at the first that tells.
void CPairStream::State::CompareJob(size_t j, CStreamVerdict& v)
{
    const UINT64 nSize = v.nSize[0];
    bool bEnded[2] = {false, false};
    bool bPending = true;
    UINT64 nCompared = 0;
    while (!bEnded[0] || !bEnded[1])
    {
        ::AcquireSRWLockExclusive(&lock);
        while (!bStop && !((bEnded[0] || nHead[0] < nTail[0]) && (bEnded[1] || nHead[1] < nTail[1])))
            ::SleepConditionVariableSRW(&cvFilled, &lock, INFINITE, 0);
        if (bStop)
        {
            ::ReleaseSRWLockExclusive(&lock);
            v.result = CStreamVerdict::kInterrupted;
            return;
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
}

void CPairStream::State::Publish(size_t j, const CStreamVerdict& v)
{
    ::AcquireSRWLockExclusive(&lock);
    jobs[j].verdict = v;
    jobs[j].verdict.bFast = v.bRead && jobs[j].bFast[0] && jobs[j].bFast[1];
    jobs[j].bVerdict = true;
    ::WakeAllConditionVariable(&cvVerdict);
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
    ::WakeAllConditionVariable(&st.cvDecided);
    ::WakeAllConditionVariable(&st.cvFilled);
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
