// CPairStream: compares a whole list of file pairs with several files in flight per side, verdicts by list index.
#pragma once
#include "ByteWindow.h"
#include <windows.h>
#include "DepthController.h"
#include <string>
#include <vector>

// One pair to compare: the two paths as the user sees them. Without a second path the first file is only read,
// for its digest.
struct CStreamJob
{
    std::wstring path[2];
};

struct CStreamOptions
{
    bool bFastMode = true;           // each pair read unbuffered where both volumes allow it
    UINT32 nDepth[2] = {1, 1};       // files in flight per side at the start: one reader thread each
    // The range each side's depth is found in while it runs, from the rates its device gives; 0: fixed at nDepth.
    UINT32 nDepthLeast[2] = {0, 0};
    UINT32 nDepthMost[2] = {0, 0};
    bool bHash = false;              // every first file read whole and hashed with SHA-256, also where not compared
    bool bBackup = false;            // files opened with backup semantics: with the backup privilege, past their ACLs
};

struct CStreamVerdict
{
    enum Result { kSame, kDiffers, kSize, kCannotOpen, kReadError, kRead /* a job of one file, read whole */ };
    Result result = kReadError;  // until the stream knows better: never "same" by default
    bool bStarted = false;     // a reader had taken the job (PeekVerdict)
    bool bOpened[2] = {false, false};
    UINT64 nSize[2] = {0, 0};  // from the open handles, where opened
    bool bRead = false;        // bytes were read, so bFast says how
    bool bFast = false;        // both sides were read unbuffered
    bool bSameFile = false;    // both paths name one file: same volume and file ID
    UINT64 nFirstDifference = 0;  // kDiffers: the first byte that differs, or where one file ended
    CByteWindow window;           // kDiffers: the bytes around it, as they were read
    UINT64 nBytesCompared = 0;    // bytes found equal
    DWORD dwError = 0;            // the system's error code of the read or open that failed, where one did
    bool bHashed = false;         // the first file was read whole, at the length it had when opened
    BYTE digest[32] = {};         // its SHA-256, where bHashed
    UINT64 nBytesHashed = 0;
};

struct CStreamProgress
{
    UINT64 nFileSize = 0;
    UINT64 nBytesRead[2] = {0, 0};
    UINT64 nBytesCompared = 0;
};

class CPairStream
{
public:
    static const UINT32 kMaxDepth = 64;

    CPairStream();
    ~CPairStream();
    CPairStream(const CPairStream&) = delete;
    CPairStream& operator=(const CPairStream&) = delete;

    // Starts the readers, which wait for jobs. False when the buffers or threads could not be had; GetLastError
    // tells which (ERROR_NOT_ENOUGH_MEMORY for the buffers).
    bool Start(const CStreamOptions& options);
    // Jobs come while the stream runs, numbered from 0 in the order added; readers take them in that order.
    size_t Add(CStreamJob job);
    // Jobs before i are no longer asked about: their paths go at once and each job goes once its readers are done
    // with it, so the stream holds the jobs in flight and those a stalled read still works on, never the jobs behind.
    void Release(size_t i);
    // The most jobs held at once after they were released, for the tests of a bounded stream.
    size_t MostJobsKept() const;
    // The verdict of job i, when it is known within dwMs. The reader that completes the verdict the caller waits
    // for wakes it; no other verdict does, so the readers wake nobody while the caller writes rows.
    bool WaitVerdict(size_t i, DWORD dwMs, CStreamVerdict& verdict);
    // What is known of job i before its verdict: whether a reader took it, whether it opened, its sizes, how it is
    // read.
    void PeekVerdict(size_t i, CStreamVerdict& verdict);
    void GetProgress(size_t i, CStreamProgress& progress);
    // How the depths found changed, oldest first, each taken once (false where none is left), and the depths the
    // sides hold now.
    bool TakeDepthChange(CDepthChange& change, UINT32 nHeld[2]);
    // Ends the run early: the readers stop at their next step and a read in progress is cancelled. Waits up to
    // dwMs for them; false when one is still held in the system by a read that would not cancel, and is left
    // behind with everything it uses.
    bool Stop(DWORD dwMs);

private:
    struct State;
    State* m_pState;
};
