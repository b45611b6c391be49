// CPairStream: a pool of readers per side, each with slots of its own, and comparisons made by whoever brings the
// second half of a slot pair.
//
// A side's readers take the jobs in list order, one job at a time each, so up to "depth" files of a side are in
// flight: on a share or a cloud folder every open and read waits for the device, and the waits overlap. A reader
// fills only its own slots, so the earliest unfinished job can always go on, whatever the readers ahead hold, and
// a slot held by a stalled pair keeps only itself from use.
// There is no comparer thread: the reader whose slot completes a pair (slot k of both sides) compares it at once,
// while its own half is still in the cache of the core that read it, and frees both slots. Every hand-off is
// under one slim lock with condition variables: under Wine none of it is a server round trip.
#include "PairStream.h"
#include "CancelThreads.h"
#include "FileAccess.h"
#include "SectorSizes.h"
#include "Sha256.h"
#include "StreamJobs.h"
#include <atomic>
#include <cstring>
#include <map>
#include <deque>
#include <memory>
#include <string>

namespace
{
const UINT32 kStride = FileAccess::kNormalBlock;  // slot spacing: page-aligned, and fits every block
// Slots per reader: enough to keep one big file streaming while the other side catches up. A depth given shares 32
// among a side's readers; a depth found gives the readers only a slow device gets fewer (4 each for the first 8, 2
// for the next 8, 1 beyond: 96 MiB a side at most), as there every file waits for the device, not for slots.
const UINT32 kMaxRing = 4;
const UINT32 kMinRing = 2;
const UINT32 kSlotsPerSide = 32;
UINT32 RingOf(bool bFound, UINT32 nDepth, UINT32 nReader)
{
    if (bFound)
        return nReader < 8 ? kMaxRing : nReader < 16 ? kMinRing : 1;
    const UINT32 nRing = kSlotsPerSide / nDepth;
    return nRing < kMinRing ? kMinRing : nRing > kMaxRing ? kMaxRing : nRing;
}

struct Slot
{
    bool bUsed;     // holds bytes of slot nK of job nJob
    size_t nJob;
    UINT32 nK;
    UINT32 nBytes;
    bool bLast;     // the side's last slot of this job
    bool bError;    // the read failed
    DWORD dwError;  // and why
    bool bChanged;  // the file's length is no longer the one it had when opened
    bool bReleased;     // compared or not needed for a comparison
    bool bHashPending;  // its reader has not yet added it to the file's digest
    bool Done() const { return bReleased && !bHashPending; }
};

// Handles a step let go of, closed once the lock is released: a close is a round trip to the system.
struct CCloseList
{
    HANDLE h[4] = {};
    // Under the lock: both of a side's handles, which nobody may use from now on.
    void Take(JobSide& side)
    {
        for (HANDLE* p : {&side.hFile, &side.hSpare})
        {
            if (*p)
                for (HANDLE& slot : h)
                    if (!slot)
                    {
                        slot = *p;
                        break;
                    }
            *p = nullptr;
        }
    }
    void CloseAll()
    {
        for (HANDLE& hFile : h)
            if (hFile)
            {
                ::CloseHandle(hFile);
                hFile = nullptr;
            }
    }
};

// Errors that say the volume cannot read the file unbuffered at all, not that its bytes could not be read: only
// these are read again through the cache. A bad sector, a failed device or a lock read again through the cache
// could meet the pages of a copy made a minute ago and call a damaged file the same.
bool RefusesUnbuffered(DWORD dwError)
{
    switch (dwError)
    {
    case ERROR_INVALID_PARAMETER:    // an alignment the volume does not take
    case ERROR_INVALID_FUNCTION:     // a driver without unbuffered reads (STATUS_INVALID_DEVICE_REQUEST)
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_USER_BUFFER:  // a buffer the device cannot transfer into directly
        return true;
    default:
        return false;
    }
}

enum Outcome { kGoOn, kEqualEnd, kMismatch, kError };

}

struct CPairStream::State
{
    struct Reader
    {
        State* pState = nullptr;
        int nSide = 0;
        UINT32 nIndex = 0;
        BYTE* pBuffer = nullptr;
        UINT32 nRing = kMaxRing;
        Slot slots[kMaxRing] = {};
        CONDITION_VARIABLE cvFree = CONDITION_VARIABLE_INIT;
        HANDLE hThread = nullptr;
        CSha256 hash;  // a reader of the first side hashes what it reads, while it is in its core's cache
        bool bHashing = false;
        bool bHashOpen = false;
    };

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE cvVerdict = CONDITION_VARIABLE_INIT;  // the owner, waiting for the verdict of nWaited
    CONDITION_VARIABLE cvJobs = CONDITION_VARIABLE_INIT;     // readers that have taken every job added
    size_t nWaited = static_cast<size_t>(-1);

    CStreamJobs jobs;
    CStreamOptions options;
    std::vector<std::unique_ptr<Reader>> readers[2];  // as the depth and the jobs call for them; each stays put
    CDepthWindows depth;       // each side's depth: given, or found from its rates
    CRunClock clock;
    size_t nNext[2] = {0, 0};  // the next job each side's readers take
    UINT32 nIdle[2] = {0, 0};  // readers within the depth that wait for a job
    UINT32 nStarting = 0;      // readers being started outside the lock: Stop waits for them
    CONDITION_VARIABLE cvStarted = CONDITION_VARIABLE_INIT;
    bool bStop = false;
    std::atomic<bool> bStopping{false};  // bStop, for a reader between requests outside the lock
    bool bLeftBehind = false;  // a thread did not end when stopped: the state is its for good

    CSectorSizes sectors;

    ~State()
    {
        for (auto& side : readers)
            for (auto& pReader : side)
                if (pReader->hThread && ::CloseHandle(pReader->hThread))  // a reader with a thread has its slots
                    ::VirtualFree(pReader->pBuffer, 0, MEM_RELEASE);
        for (auto& held : jobs.Items())
            for (JobSide& side : held.second.side)
            {
                CCloseList closes;
                closes.Take(side);
                closes.CloseAll();
            }
    }

    Reader* AddReader(int s);
    bool Launch(Reader& r);
    void Grow(int s);
    void Completed(int s, UINT32 nFiles, UINT64 nBytes);
    void ReaderMain(Reader& r);
    bool ReadSide(Reader& r, size_t j, const std::wstring& path, HANDLE h, UINT32 nBlock, bool bFast);
    bool ReadSlot(HANDLE h, BYTE* p, UINT32 nAsk, UINT64 nLeft, DWORD& dwGot, DWORD& dwError);
    void Decide(size_t j, bool bSameFile, CCloseList& closes);
    void TryCompare(size_t j, CCloseList& closes);
    void Finish(size_t j, CStreamVerdict::Result result, CCloseList& closes);
    void Publish(size_t j);
    bool Hashes(int s) const { return options.bHash && s == 0; }
    Slot& SlotOf(int s, size_t j, UINT32 k, BYTE** ppData);
    void FreeSlot(int s, size_t j, UINT32 k);
    void Recycle(Reader& r, Slot& slot);
    int FindFree(const Reader& r) const;

    static DWORD WINAPI ReaderProc(LPVOID p)
    {
        Reader* pReader = static_cast<Reader*>(p);
        // Without a hash object no digest is had: those files get none, and the owner says so.
        pReader->bHashing = pReader->pState->Hashes(pReader->nSide);
        pReader->bHashOpen = pReader->bHashing && pReader->hash.Open();
        pReader->pState->ReaderMain(*pReader);
        return 0;
    }
};

// Under the lock. A reader's slots are a pool, not a queue: a slot that a stalled pair holds keeps only itself
// from use, and the reader reads on into the others.
Slot& CPairStream::State::SlotOf(int s, size_t j, UINT32 k, BYTE** ppData)
{
    Reader& r = *readers[s][jobs[j].side[s].nReader];
    UINT32 i = 0;
    while (i < r.nRing && !(r.slots[i].bUsed && r.slots[i].nJob == j && r.slots[i].nK == k))
        ++i;
    if (i == r.nRing)
        StreamFault();  // never another job's bytes
    if (ppData)
        *ppData = r.pBuffer + static_cast<size_t>(i) * kStride;
    return r.slots[i];
}

int CPairStream::State::FindFree(const Reader& r) const
{
    for (UINT32 i = 0; i < r.nRing; ++i)
        if (!r.slots[i].bUsed)
            return static_cast<int>(i);
    return -1;
}

// Under the lock: a slot compared (or not needed) and hashed (where it is) goes back to its reader.
void CPairStream::State::Recycle(Reader& r, Slot& slot)
{
    if (!slot.bUsed || !slot.Done())
        return;
    slot.bUsed = false;
    ::WakeConditionVariable(&r.cvFree);
}

void CPairStream::State::FreeSlot(int s, size_t j, UINT32 k)
{
    Slot& slot = SlotOf(s, j, k, nullptr);
    slot.bReleased = true;
    Recycle(*readers[s][jobs[j].side[s].nReader], slot);
}

// Under the lock: the verdict is known, so nothing more of the job is read and its slots go back to their readers.
void CPairStream::State::Finish(size_t j, CStreamVerdict::Result result, CCloseList& closes)
{
    JobState& job = jobs[j];
    job.verdict.result = result;
    job.bOutcome = true;
    job.bAbandon = true;
    for (int s = 0; s < 2; ++s)
    {
        JobSide& side = job.side[s];
        for (UINT32 k = job.nCompared; k < side.nSlots; ++k)
            FreeSlot(s, j, k);
        if (side.bDone)
            closes.Take(side);
    }
    Publish(j);
}

// Under the lock: the verdict is whole once the comparison's outcome is known and, where the first file is hashed,
// its reader is done with it.
void CPairStream::State::Publish(size_t j)
{
    JobState& job = jobs[j];
    if (!job.bOutcome || (options.bHash && !job.side[0].bDone))
        return;
    const bool bSingle = job.bSingle;
    job.verdict.bRead = job.bRead || (bSingle && job.side[0].bOpened);
    job.verdict.bFast = job.verdict.bRead && job.side[0].bFast && (bSingle || job.side[1].bFast);
    job.bVerdict = true;
    if (j == nWaited)
        ::WakeConditionVariable(&cvVerdict);
}

// Under the lock, by the second reader to publish its side of job j.
void CPairStream::State::Decide(size_t j, bool bSameFile, CCloseList& closes)
{
    JobState& job = jobs[j];
    CStreamVerdict& v = job.verdict;
    job.bDecided = true;
    v.bSameFile = bSameFile;
    job.bRead = v.bOpened[0] && v.bOpened[1] && v.nSize[0] == v.nSize[1];
    if (job.bSingle)
    {
        // One file, read only for its digest: what the read found is told when its reader is done.
        job.bOutcome = !v.bOpened[0];
        v.result = v.bOpened[0] ? CStreamVerdict::kRead : CStreamVerdict::kCannotOpen;
        Publish(j);
        return;
    }
    if (!job.bRead)
    {
        Finish(j, v.bOpened[0] && v.bOpened[1] ? CStreamVerdict::kSize : CStreamVerdict::kCannotOpen, closes);
        return;
    }
    // Its identity is known now: a side already read to its end needs its handle no longer.
    for (JobSide& side : job.side)
        if (side.bDone)
            closes.Take(side);
    TryCompare(j, closes);
}

// Under the lock, by a reader that published a slot of job j or decided it: compares every slot pair of the job
// that both sides have brought, one comparison at a time, the bytes outside the lock.
void CPairStream::State::TryCompare(size_t j, CCloseList& closes)
{
    JobState& job = jobs[j];
    while (job.bRead && !job.bVerdict && !job.bComparing)
    {
        const UINT32 k = job.nCompared;
        if (job.side[0].nSlots <= k || job.side[1].nSlots <= k)
            return;
        BYTE* p1;
        BYTE* p2;
        const Slot a = SlotOf(0, j, k, &p1);
        const Slot b = SlotOf(1, j, k, &p2);
        const UINT64 nAt = job.verdict.nBytesCompared;
        const UINT64 nSize = job.verdict.nSize[0];
        job.bComparing = true;
        ::ReleaseSRWLockExclusive(&lock);

        Outcome outcome = kGoOn;
        UINT64 nEqual = nAt;
        const UINT32 nBoth = a.nBytes < b.nBytes ? a.nBytes : b.nBytes;
        if (a.bError || b.bError)
        {
            outcome = kError;
            job.verdict.dwError = a.bError ? a.dwError : b.dwError;  // only the comparer writes it
        }
        else if (std::memcmp(p1, p2, nBoth) != 0)
        {
            outcome = kMismatch;
            nEqual += FileAccess::FirstMismatch(p1, p2, nBoth);
        }
        else
        {
            nEqual += nBoth;
            if (a.nBytes != b.nBytes)
                outcome = kMismatch;  // one file ended before the other: its length changed while it was read
            else if (a.bLast)
            {
                // Both ended: equal only when they ended at the length they had when opened, and still have it.
                // Files that shrank alike, or one that grew, are never same.
                if (a.bChanged || b.bChanged || nEqual != nSize)
                {
                    outcome = kMismatch;
                    if (nEqual > nSize)
                        nEqual = nSize;
                }
                else
                    outcome = kEqualEnd;
            }
        }
        const BYTE* const p[2] = {p1, p2};
        const UINT32 nBytes[2] = {a.nBytes, b.nBytes};
        const CByteWindow window = outcome == kMismatch ? ByteWindow::Around(job.tail, p, nBytes, nAt, nEqual) : CByteWindow();
        if (outcome == kGoOn)
            ByteWindow::KeepTail(job.tail, p, nBytes);

        ::AcquireSRWLockExclusive(&lock);
        job.bComparing = false;
        FreeSlot(0, j, k);
        FreeSlot(1, j, k);
        ++job.nCompared;
        if (outcome != kError)
            job.verdict.nBytesCompared = nEqual;
        if (outcome == kMismatch)
        {
            job.verdict.nFirstDifference = nEqual;
            job.verdict.window = window;
        }
        if (outcome != kGoOn)
            Finish(j, outcome == kEqualEnd ? CStreamVerdict::kSame : outcome == kMismatch ? CStreamVerdict::kDiffers
                                                                                          : CStreamVerdict::kReadError,
                   closes);
    }
}

void CPairStream::State::ReaderMain(Reader& r)
{
    const int s = r.nSide;
    for (bool bFirst = true;; bFirst = false)
    {
        ::AcquireSRWLockExclusive(&lock);
        if (bFirst)  // what is in flight changes as a reader starts: the depths' window waits for it to settle
            depth.Settle(clock.Seconds());
        // Jobs without a file on this side may be gone before this side's readers came to them. A reader beyond
        // the depth waits, so the next job goes to a reader within.
        for (bool bIdle; !bStop && (nNext[s] >= jobs.End() || r.nIndex >= depth.Depth(s));)
        {
            nIdle[s] += (bIdle = r.nIndex < depth.Depth(s));
            ::SleepConditionVariableSRW(&cvJobs, &lock, INFINITE, 0);
            nIdle[s] -= bIdle;
        }
        const bool bStopped = bStop;
        const size_t j = nNext[s]++;
        const JobState* pJob = bStopped ? nullptr : jobs.Take(j, s);
        CStreamJob item;
        if (pJob)
            for (int t = 0; t < 2; ++t)
                item.path[t] = pJob->path[t];
        if (!bStopped && !item.path[s].empty())
            Grow(s);
        ::ReleaseSRWLockExclusive(&lock);
        if (bStopped)
            return;
        if (!pJob)
            continue;
        const bool bSingle = item.path[1].empty();
        // Both sides work the block out alike from both paths, so the two sides' slots always hold the same range.
        UINT32 nBlock = 0;
        if (options.bFastMode)
        {
            const UINT32 nSector1 = sectors.Of(item.path[0].c_str());
            nBlock = FileAccess::FitBlockSize(nSector1, bSingle ? nSector1 : sectors.Of(item.path[1].c_str()));
        }
        // Share read: an indexer or a virus scanner that only reads does not stop the check, while nobody can
        // write, rename or delete the file under it.
        const DWORD dwShare = FILE_SHARE_READ;
        const DWORD dwBackup = options.bBackup ? FILE_FLAG_BACKUP_SEMANTICS : 0;
        bool bFast = false;
        HANDLE h = INVALID_HANDLE_VALUE;
        if (nBlock)
        {
            h = FileAccess::OpenFile(item.path[s].c_str(), dwShare, FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN | dwBackup);
            bFast = h != INVALID_HANDLE_VALUE;
        }
        else
            nBlock = FileAccess::kNormalBlock;
        if (!bFast)
            h = FileAccess::OpenFile(item.path[s].c_str(), dwShare, FILE_FLAG_SEQUENTIAL_SCAN | dwBackup);
        UINT64 nIndex = 0;
        LARGE_INTEGER size{};
        // The size from the handle: a directory entry of a hard link or a link can hold a stale or zero size.
        // Only a disk file is read: a port would block a reader for ever, and a console or the null device deliver
        // nothing. Every such device has no length (as have a FIFO and a device node under Wine), so only a handle
        // without bytes is asked, which spares every other file the request Wine makes of the question.
        const bool bOpened = h != INVALID_HANDLE_VALUE && ::GetFileSizeEx(h, &size) &&
                             (size.QuadPart != 0 || FileAccess::IsDiskFile(h));
        // Why not: a sharing violation tells of a program holding the file, which a user can do something about.
        const DWORD dwOpenError = bOpened ? 0 : h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_NOT_SUPPORTED;
        // The index only tells that two paths name one file: a volume without IDs, or a redirector that refuses
        // the query, leaves the file readable and unlabelled.
        const bool bIndexed = bOpened && FileAccess::GetFileIndex(h, nIndex);
        if (!bOpened && h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);

        CCloseList closes;
        ::AcquireSRWLockExclusive(&lock);
        JobState& job = jobs[j];
        JobSide& me = job.side[s];
        job.verdict.bOpened[s] = bOpened;
        if (!bOpened && (s == 0 || !job.verdict.dwError))
            job.verdict.dwError = dwOpenError;
        job.verdict.nSize[s] = bOpened ? static_cast<UINT64>(size.QuadPart) : 0;
        me.bOpened = bOpened;
        me.bFast = bFast;
        me.nIndex = nIndex;
        me.bIndexed = bIndexed;
        me.hFile = bOpened ? h : nullptr;
        me.nReader = r.nIndex;
        me.bDone = !bOpened;
        me.bPublished = true;
        if (!bOpened)
            Completed(s, 1, 0);
        const JobSide& other = job.side[1 - s];
        const bool bDecide = other.bPublished || bSingle;
        // Files with different indexes are different files; where the indexes agree, the whole identities tell.
        // Either way the bytes decide: an identity from a network server can collide. Neither handle is closed
        // before the job is decided, which only this reader does.
        const bool bAskIdentity = bDecide && !bSingle && bIndexed && other.bIndexed && other.nIndex == nIndex;
        const HANDLE hOther = other.hFile;
        if (!bOpened && !bDecide)
            jobs.LetGo(j, s);
        ::ReleaseSRWLockExclusive(&lock);
        if (bDecide)
        {
            FileAccess::CFileIdentity identity[2];
            const bool bSameFile = bAskIdentity && FileAccess::GetFileIdentity(h, identity[0]) &&
                                   FileAccess::GetFileIdentity(hOther, identity[1]) && identity[0] == identity[1];
            ::AcquireSRWLockExclusive(&lock);
            Decide(j, bSameFile, closes);
            if (!bOpened)
                jobs.LetGo(j, s);
            ::ReleaseSRWLockExclusive(&lock);
            closes.CloseAll();
        }
        if (bOpened && !ReadSide(r, j, item.path[s], h, nBlock, bFast))
            return;
    }
}

// Fills this reader's slots with its side of job j until the end, an error or the word that the job's verdict is
// known; false when the run stops. A file's size is known from its handle, so its end is never asked for: a file
// that fits a slot is one read, which on a share is one round trip.
bool CPairStream::State::ReadSide(Reader& r, size_t j, const std::wstring& path, HANDLE h, UINT32 nBlock, bool bFast)
{
    const int s = r.nSide;
    ::AcquireSRWLockShared(&lock);
    const UINT64 nSize = jobs[j].verdict.nSize[s];
    ::ReleaseSRWLockShared(&lock);
    UINT64 nDone = 0;
    DWORD dwReadError = ERROR_SUCCESS;
    bool bFirst = true;
    bool bEnded = false, bHashFailed = r.bHashing && !r.bHashOpen;
    for (;;)
    {
        ::AcquireSRWLockExclusive(&lock);
        // A file that is hashed is read to its end, also where the comparison needs no more of it.
        while (!bStop && !(jobs[j].bAbandon && !r.bHashing) && FindFree(r) < 0)
            ::SleepConditionVariableSRW(&r.cvFree, &lock, INFINITE, 0);
        const bool bStopped = bStop;
        const bool bAbandon = jobs[j].bAbandon && !r.bHashing;
        const int nAt = FindFree(r);
        ::ReleaseSRWLockExclusive(&lock);
        if (bStopped)
            return false;
        if (bAbandon)
            break;

        BYTE* p = r.pBuffer + static_cast<size_t>(nAt) * kStride;
        const UINT64 nLeft = nSize - nDone;
        // The last request asks for what is left. Unbuffered, it asks for a whole block, which stays aligned
        // whatever sector size the volume really has, and ends at the end of the file in one request all the same.
        const UINT32 nAsk = nLeft >= nBlock || bFast ? nBlock : static_cast<UINT32>(nLeft);
        DWORD dwRead = 0, dwError = ERROR_SUCCESS;
        bool bOk = ReadSlot(h, p, nAsk, nLeft, dwRead, dwError);
        if (!bOk && bFast && bFirst && RefusesUnbuffered(dwError) && !bStopping.load(std::memory_order_relaxed))
        {
            // Some volumes open unbuffered but refuse the reads (a share whose server cannot): this side of the
            // pair is read through the cache instead, and the pair's mode says so. The unbuffered handle stays
            // open beside it until the pair is decided: the other side's reader may be asking it who it is.
            HANDLE hBuffered = FileAccess::OpenFile(path.c_str(), FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN | (options.bBackup ? FILE_FLAG_BACKUP_SEMANTICS : 0));
            if (hBuffered == INVALID_HANDLE_VALUE)
                dwError = ::GetLastError();
            else
            {
                bFast = false;
                ::AcquireSRWLockExclusive(&lock);
                JobSide& me = jobs[j].side[s];
                me.bFast = false;
                me.hSpare = me.hFile;
                me.hFile = hBuffered;
                ::ReleaseSRWLockExclusive(&lock);
                h = hBuffered;
                bOk = ReadSlot(h, p, nAsk, nLeft, dwRead, dwError);
            }
        }
        bFirst = false;
        Slot slot{true, j, 0, bOk ? dwRead : 0, true, !bOk, bOk ? ERROR_SUCCESS : dwError, false, false, r.bHashing};
        nDone += slot.nBytes;
        if (!bOk)
            dwReadError = dwError;
        // ReadSlot returns less than asked only at the end of the file, or where it ended early.
        slot.bLast = !bOk || dwRead < nAsk || nDone >= nSize;
        if (bOk && slot.bLast)
        {
            // Read to the length it had when opened without asking past it (where the read did not run into the
            // end itself): a file that grew since is never same.
            LARGE_INTEGER now{};
            slot.bChanged = nDone != nSize ||
                            (dwRead == nAsk && (!::GetFileSizeEx(h, &now) || static_cast<UINT64>(now.QuadPart) != nSize));
        }

        CCloseList closes;
        ::AcquireSRWLockExclusive(&lock);
        JobState& job = jobs[j];
        if (job.bAbandon && !r.bHashing)
        {
            ::ReleaseSRWLockExclusive(&lock);
            break;
        }
        // A slot the comparison no longer needs is only hashed: it is not published to the other side.
        slot.bReleased = job.bAbandon || job.bSingle;
        slot.nK = slot.bReleased ? ~0u : job.side[s].nSlots++;
        r.slots[nAt] = slot;
        job.side[s].nBytesRead = nDone;
        Completed(s, 0, slot.nBytes);
        TryCompare(j, closes);
        ::ReleaseSRWLockExclusive(&lock);
        closes.CloseAll();
        if (r.bHashing)
        {
            // Beside the comparison, which reads the same bytes; the slot is not reused before both are done.
            if (!bHashFailed && (slot.bError || slot.bChanged || !r.hash.Update(p, slot.nBytes)))
                bHashFailed = true;
            ::AcquireSRWLockExclusive(&lock);
            r.slots[nAt].bHashPending = false;
            Recycle(r, r.slots[nAt]);
            ::ReleaseSRWLockExclusive(&lock);
        }
        if (slot.bLast)
        {
            bEnded = true;
            break;
        }
    }

    BYTE digest[32];
    const bool bHashed = r.bHashing && bEnded && !bHashFailed && r.hash.Finish(digest);
    if (r.bHashing && !bHashed)
        r.hash.Finish(digest);  // the next file starts a digest of its own

    // Done with this side. Until the job is decided the handle stays for the identity check of whoever decides.
    ::AcquireSRWLockExclusive(&lock);
    JobSide& me = jobs[j].side[s];
    me.bDone = true;
    Completed(s, 1, 0);
    if (bHashed)
    {
        jobs[j].verdict.bHashed = true;
        std::memcpy(jobs[j].verdict.digest, digest, sizeof digest);
        jobs[j].verdict.nBytesHashed = nDone;
    }
    if (jobs[j].bSingle)
    {
        // A file read only for its digest: read whole, or not.
        jobs[j].verdict.result = bEnded && !bHashFailed ? CStreamVerdict::kRead : CStreamVerdict::kReadError;
        jobs[j].verdict.dwError = dwReadError;
        jobs[j].bOutcome = true;
    }
    Publish(j);
    CCloseList closes;
    if (jobs[j].bDecided)
        closes.Take(me);
    jobs.LetGo(j, s);
    ::ReleaseSRWLockExclusive(&lock);
    closes.CloseAll();
    return true;
}

// One slot's bytes: reads on after a short read until the slot is full, the size known from the handle is reached
// or a read returns nothing (the end, or a file that shrank). A redirector may return fewer bytes than asked before
// the end of a file; taken for its end, that would make a good copy differ.
bool CPairStream::State::ReadSlot(HANDLE h, BYTE* p, UINT32 nAsk, UINT64 nLeft, DWORD& dwGot, DWORD& dwError)
{
    dwGot = 0;
    while (dwGot < nAsk)
    {
        DWORD dwRead = 0;
        if (!::ReadFile(h, p + dwGot, nAsk - dwGot, &dwRead, nullptr))
        {
            dwError = ::GetLastError();
            return false;
        }
        dwGot += dwRead;
        if (dwRead == 0 || dwGot >= nLeft)
            break;
        if (bStopping.load(std::memory_order_relaxed))
        {
            dwError = ERROR_OPERATION_ABORTED;  // a slot cut short by a stop holds no end of the file
            return false;
        }
    }
    return true;
}

CPairStream::CPairStream() : m_pState(nullptr)
{
}

CPairStream::~CPairStream()
{
    // A state whose threads were left behind stays theirs; the process ends around them.
    if (m_pState && !m_pState->bLeftBehind && Stop(DestructorWait()))
        delete m_pState;
}

bool CPairStream::Start(const CStreamOptions& options)
{
    if (m_pState && !m_pState->bLeftBehind)
    {
        Stop(INFINITE);
        delete m_pState;
    }
    m_pState = new State;
    State& st = *m_pState;
    st.options = options;
    // The depth each side starts at and the range it is found in (none where given), each from 1 to kMaxDepth.
    UINT32 nBound[3][2];
    for (int s = 0; s < 2; ++s)
        for (const UINT32 b : {0u, 1u, 2u})
        {
            const UINT32 n = b == 0 ? options.nDepth[s] : b == 1 ? options.nDepthLeast[s] : options.nDepthMost[s];
            nBound[b][s] = n < 1 ? (b ? nBound[0][s] : 1) : n > kMaxDepth ? kMaxDepth : n;
        }
    st.depth.Start(nBound[0], nBound[1], nBound[2]);
    // One reader a side to begin with; the jobs that wait for a reader call the others up to the depth.
    ::AcquireSRWLockExclusive(&st.lock);
    State::Reader* pFirst[2] = {st.AddReader(0), st.AddReader(1)};
    ::ReleaseSRWLockExclusive(&st.lock);
    if (st.Launch(*pFirst[0]) && st.Launch(*pFirst[1]))
        return true;
    const DWORD dwError = ::GetLastError();
    Stop(INFINITE);
    ::SetLastError(dwError);
    return false;
}

// Under the lock: a reader more for side s, not running yet.
CPairStream::State::Reader* CPairStream::State::AddReader(int s)
{
    readers[s].push_back(std::make_unique<Reader>());
    Reader& r = *readers[s].back();
    r.pState = this;
    r.nSide = s;
    r.nIndex = static_cast<UINT32>(readers[s].size() - 1);
    r.nRing = RingOf(depth.Searches(s), depth.Depth(s), r.nIndex);
    return &r;
}

// Outside the lock: a reader's slots, page-aligned as unbuffered reads need, and its thread. False where the
// slots (ERROR_NOT_ENOUGH_MEMORY) or the thread could not be had; the reader then takes no job, the others do.
bool CPairStream::State::Launch(Reader& r)
{
    const size_t nBytes = static_cast<size_t>(r.nRing) * kStride;
    if (!(r.pBuffer = static_cast<BYTE*>(::VirtualAlloc(nullptr, nBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))))
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // Stop reads the handle once the starts it waits for are done, under the lock taken after this.
    if ((r.hThread = ::CreateThread(nullptr, 0, ReaderProc, &r, 0, nullptr)) != nullptr)
        return true;
    const DWORD dwError = ::GetLastError();
    ::VirtualFree(r.pBuffer, 0, MEM_RELEASE);
    ::SetLastError(dwError ? dwError : ERROR_OUTOFMEMORY);
    return false;
}

// Under the lock, where the caller holds nothing of a job: readers for the jobs waiting that no reader within the
// depth is free for, started outside the lock (a round trip to the server each) while Stop waits for them.
void CPairStream::State::Grow(int s)
{
    std::vector<Reader*> fresh;
    const size_t nWaiting = jobs.End() - nNext[s];
    while (!bStop && readers[s].size() < depth.Depth(s) && nIdle[s] + fresh.size() < nWaiting)
        fresh.push_back(AddReader(s));
    if (fresh.empty())
        return;
    ++nStarting;
    ::ReleaseSRWLockExclusive(&lock);
    for (Reader* pReader : fresh)
        Launch(*pReader);
    ::AcquireSRWLockExclusive(&lock);
    if (--nStarting == 0)
        ::WakeAllConditionVariable(&cvStarted);
    depth.Settle(clock.Seconds());
}

// Under the lock: side s finished files or read bytes, which tell nothing while readers start. A depth found that
// changes wakes the readers it lets go on; where it grows, the next reader to take a job starts the ones it lacks.
void CPairStream::State::Completed(int s, UINT32 nFiles, UINT64 nBytes)
{
    if (depth.Searches() && !nStarting && depth.Done(s, nFiles, nBytes, nNext[s] < jobs.End(), clock.Seconds()))
        ::WakeAllConditionVariable(&cvJobs);
}

size_t CPairStream::Add(CStreamJob job)
{
    State& st = *m_pState;
    JobState state;
    state.bSingle = job.path[1].empty();
    state.path[0] = std::move(job.path[0]);
    state.path[1] = std::move(job.path[1]);
    ::AcquireSRWLockExclusive(&st.lock);
    const size_t j = st.jobs.Add(std::move(state));
    for (int s = 0; s < 2; ++s)
        if (!st.jobs[j].path[s].empty())
            st.Grow(s);
    // Only a reader that has run out of jobs waits for one, and then every reader of a side may have.
    ::WakeAllConditionVariable(&st.cvJobs);
    ::ReleaseSRWLockExclusive(&st.lock);
    return j;
}

void CPairStream::Release(size_t i)
{
    State& st = *m_pState;
    if (st.bLeftBehind)
        return;
    ::AcquireSRWLockExclusive(&st.lock);
    st.jobs.Release(i);
    ::ReleaseSRWLockExclusive(&st.lock);
}

size_t CPairStream::MostJobsKept() const
{
    ::AcquireSRWLockShared(&m_pState->lock);
    const size_t n = m_pState->jobs.MostKept();
    ::ReleaseSRWLockShared(&m_pState->lock);
    return n;
}

bool CPairStream::WaitVerdict(size_t i, DWORD dwMs, CStreamVerdict& verdict)
{
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    // Only the verdict waited for wakes the owner: one wake-up per wait, none per pair while rows are written.
    st.nWaited = i;
    if (!st.jobs[i].bVerdict && !st.bStop)
        ::SleepConditionVariableSRW(&st.cvVerdict, &st.lock, dwMs, 0);
    st.nWaited = static_cast<size_t>(-1);
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
    const JobState& job = st.jobs[i];
    verdict = job.verdict;
    verdict.bRead = job.bRead;
    verdict.bFast = job.bRead && job.side[0].bFast && job.side[1].bFast;
    verdict.bStarted = i < st.nNext[0] || i < st.nNext[1];
    ::ReleaseSRWLockShared(&st.lock);
}

void CPairStream::GetProgress(size_t i, CStreamProgress& progress)
{
    State& st = *m_pState;
    ::AcquireSRWLockShared(&st.lock);
    const JobState& job = st.jobs[i];
    progress.nFileSize = job.verdict.nSize[0];
    progress.nBytesCompared = job.verdict.nBytesCompared;
    for (int s = 0; s < 2; ++s)
        progress.nBytesRead[s] = job.side[s].nBytesRead;
    ::ReleaseSRWLockShared(&st.lock);
}

bool CPairStream::TakeDepthChange(CDepthChange& change, UINT32 nHeld[2])
{
    ::AcquireSRWLockExclusive(&m_pState->lock);
    const bool bTaken = m_pState->depth.TakeChange(change);
    for (int s = 0; s < 2; ++s)
        nHeld[s] = m_pState->depth.Held(s);
    ::ReleaseSRWLockExclusive(&m_pState->lock);
    return bTaken;
}

bool CPairStream::Stop(DWORD dwMs)
{
    if (!m_pState || m_pState->bLeftBehind)
        return !m_pState;
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    st.bStop = true;
    st.bStopping.store(true);
    for (auto& side : st.readers)
        for (auto& pReader : side)
            ::WakeAllConditionVariable(&pReader->cvFree);
    ::WakeAllConditionVariable(&st.cvVerdict);
    ::WakeAllConditionVariable(&st.cvJobs);
    while (st.nStarting)
        ::SleepConditionVariableSRW(&st.cvStarted, &st.lock, INFINITE, 0);
    ::ReleaseSRWLockExclusive(&st.lock);

    std::vector<HANDLE> running;
    for (auto& side : st.readers)
        for (auto& pReader : side)
            if (pReader->hThread)
                running.push_back(pReader->hThread);
    if (CancelThreads(running, dwMs))
        return true;
    st.bLeftBehind = true;
    return false;
}
