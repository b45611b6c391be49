// How many files a side keeps in flight, found while it runs from the rates its device gives.
#pragma once
#include <windows.h>
#include <deque>
#include <string>

// One side's search: a pure function of the windows it was shown. It tries twice (or half) the depth it holds
// against the rate it holds, keeps a step only where two windows in a row find it clearly faster (one busy moment
// of the machine makes one window look faster), holds after a miss each way and looks again now and then, sooner
// where the rate it holds moves.
class CDepthController
{
public:
    // What one window at a depth gave: per second.
    struct Rate
    {
        double dFiles = 0, dBytes = 0;
        double Work() const;  // one number to compare: bytes, and each file as the bytes its open and close cost
    };
    // What a window did: nothing, a step tried from the depth held, a step kept (and maybe the next one tried),
    // a step missed (and the depth held taken again, or the other way tried).
    enum Step { kNone, kTry, kKeep, kBack };

    static const UINT32 kKeepPercent = 110;  // a step is kept where it gives at least this much of the rate held

    CDepthController(UINT32 nStart = 1, UINT32 nLeast = 1, UINT32 nMost = 1);
    bool Searches() const { return m_nLeast < m_nMost; }
    UINT32 Depth() const { return m_nDepth; }  // for the next window: the one held, or one being tried
    UINT32 Held() const { return m_nHeld; }
    const Rate& HeldRate() const { return m_held; }
    const Rate& LastRate() const { return m_last; }
    // One window at Depth(). Returns what it did: kNone where the depth stays, else Depth() is new.
    Step Window(double dSeconds, double dFiles, double dBytes);

private:
    enum Phase { kWarm, kBase, kTrial, kHold };
    bool TryNext();
    void Hold(bool bChanged);

    UINT32 m_nLeast, m_nMost, m_nHeld, m_nDepth;
    Phase m_phase = kWarm;
    int m_nDir = 1;
    bool m_bMoved = false;      // this look kept a step
    bool m_bTurned = false;     // this look tried the other way already
    bool m_bOnce = false;       // the step tried was clearly faster in one window: a second one must agree
    UINT32 m_nHoldFor = 0;      // windows between looks
    UINT32 m_nHoldLeft = 0;
    UINT32 m_nOff = 0;          // hold windows in a row far from the rate held
    Rate m_held, m_last, m_previous;
};

// Seconds since it was made, for the windows: QueryPerformanceCounter, which asks no server under Wine.
class CRunClock
{
public:
    CRunClock();
    double Seconds() const;

private:
    LARGE_INTEGER m_start{}, m_rate{};
};

// A change of a side's depth, with the rates behind it, for --verbose.
struct CDepthChange
{
    int nSide = 0;
    CDepthController::Step step = CDepthController::kNone;
    UINT32 nFrom = 0, nTo = 0, nHeld = 0;
    CDepthController::Rate held, last;  // the rate at the depth held before, and the last window's (at nFrom)
    // In words, for a person: "kept 8 (612 files/s, 15.2 MB/s against 410 files/s, 10.1 MB/s at 4)".
    std::wstring Words() const;
};

// Both sides' searches on one clock: a window ends for both at once, since a side that runs ahead waits for the
// other's halves of its pairs, and a step is only seen where both can take it. Pure: the caller says the time.
class CDepthWindows
{
public:
    static constexpr double kWindowSeconds = 0.08;  // at least; longer where too little was done in it
    static constexpr double kLongestSeconds = 2.0;
    static const UINT32 kWindowFiles = 48;          // or bytes: kWindowFiles MiB, over both sides
    static const size_t kChangesKept = 256;

    void Start(const UINT32 nStart[2], const UINT32 nLeast[2], const UINT32 nMost[2]);
    bool Searches() const { return m_side[0].Searches() || m_side[1].Searches(); }
    bool Searches(int s) const { return m_side[s].Searches(); }
    UINT32 Depth(int s) const { return m_side[s].Depth(); }
    UINT32 Held(int s) const { return m_side[s].Held(); }
    // Side s has finished files and read bytes at dNow seconds, with jobs waiting for its readers or not. A window
    // in which a side's readers ran out of jobs says nothing of its device: it is dropped. True where a depth changed.
    bool Done(int s, UINT32 nFiles, UINT64 nBytes, bool bJobsWaiting, double dNow);
    // Readers started at dNow: what is in flight settles again, and the first window after it is dropped too, as a
    // thread's first files are slow (under Wine it is set up with the server as it starts).
    void Settle(double dNow);
    // The changes not yet taken, oldest first; the oldest go where nobody takes them.
    bool TakeChange(CDepthChange& change);

private:
    CDepthController m_side[2];
    bool m_bStarted = false;
    bool m_bSettling = true;  // after a change: until the files in flight are ones started at the new depths
    bool m_bStarved = false;  // a side ran out of jobs in this window
    bool m_bFresh = false;    // readers started just before this window
    double m_dFrom = 0;
    double m_dFiles[2] = {0, 0}, m_dBytes[2] = {0, 0};
    std::deque<CDepthChange> m_changes;
};
