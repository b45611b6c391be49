// The depth search against simulated devices, on a simulated clock: no threads, no files.
#include "DepthController.h"
#include <gtest/gtest.h>
#include <functional>
#include <random>

namespace
{
// Files finished per second at a depth, at a time into the run.
using Device = std::function<double(UINT32 nDepth, double dAt)>;

// Every file in flight waits dWait seconds for the device, which serves at most nKnee of them at once.
Device Knee(UINT32 nKnee, double dWait = 0.010)
{
    return [=](UINT32 d, double) { return (d < nKnee ? d : nKnee) / dWait; };
}
// A disk that seeks between the files in flight: each one more costs a quarter of the rate of one.
Device Seeking()
{
    return [](UINT32 d, double) { return 100.0 / (1.0 + 0.25 * (d - 1)); };
}
Device Switch(Device before, Device after, double dAt)
{
    return [=](UINT32 d, double t) { return t < dAt ? before(d, t) : after(d, t); };
}

struct Case
{
    const char* pszName;
    Device device;
    double dJitter;        // each file's time varies by up to this share, either way
    UINT32 nStart, nLeast, nMost;
    double dSeconds;       // the run
    UINT32 nLow, nHigh;    // the depth held from dSettled on, and at the end
    double dSettled;
};

struct Seen
{
    bool bChanged = false;
    double dLastOutside = 0;    // when the depth held was last out of range
    double dTriedOutside = 0;   // seconds after dSettled spent at a depth out of range (looks)
    UINT32 nHeld = 0;
};

Seen Simulate(const Case& c)
{
    CDepthWindows windows;
    const UINT32 nStart[2] = {c.nStart, 1}, nLeast[2] = {c.nLeast, 1}, nMost[2] = {c.nMost, 1};
    windows.Start(nStart, nLeast, nMost);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(1.0 - c.dJitter, 1.0 + c.dJitter);
    Seen seen;
    for (double t = 0; t < c.dSeconds;)
    {
        const UINT32 d = windows.Depth(0);
        const double dt = jitter(random) / c.device(d, t);
        if (t >= c.dSettled && (d < c.nLow || d > c.nHigh))
            seen.dTriedOutside += dt;
        t += dt;
        seen.bChanged |= windows.Done(0, 1, 40000, true, t);
        if (windows.Held(0) < c.nLow || windows.Held(0) > c.nHigh)
            seen.dLastOutside = t;
    }
    seen.nHeld = windows.Held(0);
    return seen;
}
}

TEST(DepthController, FindsTheDepthOfSimulatedDevices)
{
    const Case cases[] = {
        // A cloud folder: every file waits 10 ms, and 64 at once are served as fast as one.
        {"knee at 64", Knee(64), 0, 4, 1, 64, 6, 64, 64, 1.0},
        {"knee at 16", Knee(16), 0, 4, 1, 64, 6, 16, 16, 1.0},
        // Past the knee a step is no faster: it is not kept, whichever way.
        {"knee at 12", Knee(12), 0, 4, 1, 64, 6, 16, 16, 1.0},
        {"flat", Knee(1, 0.001), 0, 4, 1, 64, 6, 4, 4, 0},
        {"knee at 16, jitter", Knee(16), 0.8, 4, 1, 64, 10, 16, 32, 1.5},
        {"knee at 64, jitter", Knee(64), 0.8, 4, 1, 64, 10, 32, 64, 1.5},
        {"seeks", Seeking(), 0.3, 4, 1, 64, 20, 1, 1, 6},
        {"a USB bridge that says nothing", Knee(16), 0.3, 1, 1, 64, 6, 16, 32, 2.5},
        {"a share stays at 2 at least", Seeking(), 0.3, 8, 2, 64, 40, 2, 2, 8},
        {"a disk that spins stays at 1", Knee(64), 0, 1, 1, 1, 6, 1, 1, 0},
        // The device changes under the run: the search finds the new depth within a few seconds.
        {"knee 4, then 64", Switch(Knee(4), Knee(64), 10), 0.3, 4, 1, 64, 20, 64, 64, 15},
        {"knee 64, then seeking", Switch(Knee(64), Seeking(), 10), 0.3, 4, 1, 64, 80, 1, 2, 45},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        const Seen seen = Simulate(c);
        EXPECT_GE(seen.nHeld, c.nLow);
        EXPECT_LE(seen.nHeld, c.nHigh);
        EXPECT_LE(seen.dLastOutside, c.dSettled);
        // Looking again costs little: a look is a window or two now and then.
        EXPECT_LE(seen.dTriedOutside, 0.15 * (c.dSeconds - c.dSettled));
    }
}

TEST(DepthController, ARunTooShortToLearnAnythingKeepsItsStart)
{
    for (double dSeconds : {0.05, 0.15})
    {
        const Case c{"short", Knee(64), 0.3, 4, 1, 64, dSeconds, 4, 4, 0};
        EXPECT_FALSE(Simulate(c).bChanged) << dSeconds;
    }
}

TEST(DepthController, AStepIsKeptOnlyWhereItIsClearlyFaster)
{
    const double dWork = CDepthController::Rate{100, 0}.Work();
    for (double dGain : {1.05, 1.09, 1.11, 1.5})
    {
        CDepthController side(4, 1, 64);
        side.Window(0.1, 10, 0);  // the start
        EXPECT_EQ(side.Window(0.1, 10, 0), CDepthController::kTry);
        EXPECT_EQ(side.Depth(), 8u);
        const bool bFaster = dGain * 100 >= CDepthController::kKeepPercent;
        // Kept only where a second window agrees.
        if (bFaster)
        {
            EXPECT_EQ(side.Window(0.1, 10 * dGain, 0), CDepthController::kNone) << dGain;
        }
        EXPECT_EQ(side.Window(0.1, 10 * dGain, 0), bFaster ? CDepthController::kKeep : CDepthController::kBack) << dGain;
        // Kept: the next doubling is tried; not kept: the other way.
        EXPECT_EQ(side.Depth(), bFaster ? 16u : 2u) << dGain;
        EXPECT_EQ(side.Held(), bFaster ? 8u : 4u) << dGain;
    }
    EXPECT_GT(dWork, 0);
}

// Readers that wait for jobs (a listing slower than the device) say nothing of the device: no step is taken.
TEST(DepthController, WindowsWithoutJobsWaitingAreDropped)
{
    CDepthWindows windows;
    const UINT32 nStart[2] = {4, 4}, nLeast[2] = {1, 1}, nMost[2] = {64, 64};
    windows.Start(nStart, nLeast, nMost);
    bool bChanged = false;
    for (int i = 1; i < 20000; ++i)
        bChanged |= windows.Done(i % 2, 1, 4096, i % 50 != 0, i * 0.001);
    EXPECT_FALSE(bChanged);
    EXPECT_EQ(windows.Depth(0), 4u);
}
