// CStreamJobs: the jobs a pair stream holds, each only while its owner asks about it or one of its readers works on it.
#pragma once
#include "PairStream.h"
#include <map>
#include <string>

struct JobSide
{
    bool bPublished = false;  // opened (or failed to) and known to the other side
    bool bOpened = false;
    bool bFast = false;
    bool bDone = false;       // its reader has read what it will read of it (and hashed it, where it hashes)
    bool bLetGo = false;      // its reader never looks at the job again, or there is no file on this side to read
    UINT32 nReader = 0;
    UINT32 nSlots = 0;        // slots published
    HANDLE hFile = nullptr;   // open until the job is decided and its reader is done with it
    HANDLE hSpare = nullptr;  // the unbuffered handle a fallback replaced: the other side may still ask it
    UINT64 nIndex = 0;
    bool bIndexed = false;    // nIndex is a real ID
    UINT64 nBytesRead = 0;
};

struct JobState
{
    std::wstring path[2];    // until the owner lets the job go: a reader takes its copy when it takes the job
    bool bSingle = false;    // no second file: the first is read only for its digest
    bool bAsked = true;      // the owner may still ask for its verdict
    JobSide side[2];
    bool bDecided = false;   // both sides published: whether the bytes are compared is known
    bool bRead = false;      // both opened with equal sizes
    bool bAbandon = false;   // nothing more of it is read for the comparison
    bool bOutcome = false;   // what the comparison found is known; the verdict also waits for the digest
    bool bVerdict = false;
    bool bComparing = false;  // a reader is comparing one of its slot pairs outside the lock
    UINT32 nCompared = 0;     // slot pairs compared
    CSlotTail tail;           // the end of the last slot pair compared: the comparer's alone
    CStreamVerdict verdict;
};

// By job number, under the stream's lock. A job goes as soon as its owner and both its sides have let go of it, one
// at a time: a read that stalls holds its own job, never the jobs behind it.
class CStreamJobs
{
public:
    // A job that is held: any other number is a fault of the stream, which ends the process rather than hand out
    // another job's state.
    JobState& operator[](size_t j);
    // Null where the job is gone (a reader skips it).
    JobState* Find(size_t j);
    size_t End() const { return m_nEnd; }
    size_t Add(JobState&& job);
    // Job j as side s's reader takes it, null where it has nothing to read there (no file, or the job is gone).
    const JobState* Take(size_t j, int s);
    // Side s's reader is done with job j for good.
    void LetGo(size_t j, int s);
    // The owner asks about no job before i: their paths go at once, each job once its readers let go too.
    void Release(size_t i);
    // The most jobs held at once after their owner let them go, for the tests of a bounded stream.
    size_t MostKept() const { return m_nMostKept; }
    std::map<size_t, JobState>& Items() { return m_jobs; }

private:
    void DropIfDone(std::map<size_t, JobState>::iterator it);
    std::map<size_t, JobState> m_jobs;
    size_t m_nEnd = 0, m_nReleased = 0, m_nKept = 0, m_nMostKept = 0;
};

// The stream found its own state broken: ends the process as a crash does, with the run's message and status 2.
[[noreturn]] void StreamFault();
