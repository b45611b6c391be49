// The comparison engine on real files with real threads, its notices received by a real window.
#include "CompareEngine.h"
#include "ExactPath.h"
#include "TestSupport.h"
#include "resource.h"
#include <gtest/gtest.h>
#include <atomic>
#include <random>

namespace
{
const UINT64 MiB = 0x100000;

struct RunResult
{
    int nStart = 0;
    LPARAM code = -1;
    CCompareStatus status{};
    int nProgress = 0;
    int nErrorCode = 0;
    bool bStopped = false;
};

class EngineTest : public ::testing::Test
{
protected:
    void TearDown() override { g_enginePlatform = {::CreateThread, ::PostMessageW}; }

    // Starts one comparison and, if it started, waits for its completion and joins it.
    RunResult Run(const std::wstring& a, const std::wstring& b, bool bFast)
    {
        sink.Clear();
        engine.m_hNotifyWnd = sink.Hwnd();
        RunResult r;
        r.nStart = engine.Start(a.c_str(), b.c_str(), bFast);
        if (r.nStart != IDS_STARTED)
            return r;
        // Waited for as long as the run goes on: a big file takes minutes on a busy machine, and only a minute
        // without a progress notice is a hang. (Notices keep coming where the sink takes snapshots.)
        for (int nSeen = -1; !sink.WaitCompletions(1, 60000) && sink.Progress() != nSeen;)
            nSeen = sink.Progress();
        EXPECT_TRUE(engine.WaitFinished());
        sink.Drain();  // the threads are joined: every notice they posted is queued now
        EXPECT_EQ(sink.Completions().size(), 1u);
        r.code = sink.Completions().empty() ? -1 : sink.Completions()[0];
        engine.GetStatus(r.status);
        r.nProgress = sink.Progress();
        r.nErrorCode = engine.GetErrorCode();
        r.bStopped = engine.IsStopped();
        return r;
    }

    // Two equal files of the given size; returns their paths.
    std::pair<std::wstring, std::wstring> EqualPair(size_t size, const wchar_t* name = L"f")
    {
        const std::wstring a = dir / (std::wstring(name) + L"1.bin"), b = dir / (std::wstring(name) + L"2.bin");
        const auto data = Pattern(size, static_cast<unsigned>(size));
        WriteBytes(a, data);
        WriteBytes(b, data);
        return {a, b};
    }

    // The run started and found every byte of both files of the given size equal.
    static void ExpectWholeFileSame(const RunResult& r, UINT64 size)
    {
        ASSERT_EQ(r.nStart, IDS_STARTED);
        EXPECT_EQ(r.code, IDS_SAME);
        EXPECT_EQ(r.status.nFileSize, size);
        EXPECT_EQ(r.status.nBytesCompared, size);
        EXPECT_EQ(r.status.nBytesRead1, size);
        EXPECT_EQ(r.status.nBytesRead2, size);
    }

    TempDir dir;
    NotifySink sink;
    CCompareEngine engine;
};

TEST(EngineSizing, LeastCommonMultipleAndBlockSizeOfTheWorkedValues)
{
    const struct
    {
        UINT32 a, b, lcm, block;
    } cases[] = {
        {512, 512, 512, 1048576},     {512, 4096, 4096, 1048576}, {512, 3072, 3072, 1047552},
        {512, 520, 33280, 1031680},   {1024, 1025, 1049600, 0},   {4095, 4096, 0, 0},
        {0x200000, 0x200000, 0x200000, 0},  // equal sizes return at once; the block limit refuses it
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.a << " and " << c.b);
        EXPECT_EQ(CCompareEngine::LeastCommonMultiple(c.a, c.b), c.lcm);
        EXPECT_EQ(CCompareEngine::LeastCommonMultiple(c.b, c.a), c.lcm);
        EXPECT_EQ(CCompareEngine::FitBlockSize(c.a, c.b), c.block);
    }
}

TEST(EngineSizing, ZeroOrHugeSectorSizesAreRefusedWithoutLooping)
{
    EXPECT_EQ(CCompareEngine::LeastCommonMultiple(0, 512), 0u);
    EXPECT_EQ(CCompareEngine::LeastCommonMultiple(512, 0), 0u);
    EXPECT_EQ(CCompareEngine::FitBlockSize(0, 512), 0u);
    EXPECT_EQ(CCompareEngine::FitBlockSize(0, 0), 0u);
    EXPECT_EQ(CCompareEngine::LeastCommonMultiple(0xFFFFFFFFu, 512), 0u);
}

TEST_F(EngineTest, TwoEmptyFilesAreSameAfterOneProgressNotice)
{
    auto [a, b] = EqualPair(0);
    for (bool bFast : {false, true})
    {
        SCOPED_TRACE(bFast ? "fast" : "normal");
        RunResult r = Run(a, b, bFast);
        ASSERT_EQ(r.nStart, IDS_STARTED);
        EXPECT_EQ(r.code, IDS_SAME);
        EXPECT_EQ(r.status.nBytesCompared, 0u);
        // Each reader reports its zero-byte slot, but a second notice waits until the owner took the first.
        EXPECT_EQ(r.nProgress, 1);
        EXPECT_EQ(r.status.nFilledSlots1, 1u);
        EXPECT_EQ(r.status.nFilledSlots2, 1u);
        EXPECT_EQ(r.nErrorCode, IDS_NO_ERROR);
        EXPECT_FALSE(r.bStopped);
        EXPECT_EQ(r.status.bNormalMode, !bFast);
        EXPECT_TRUE(CanOpenExclusive(a));
        EXPECT_TRUE(CanOpenExclusive(b));
    }
}

TEST_F(EngineTest, SizesThatDifferAreRefusedAndLeaveNoFileOpen)
{
    const std::wstring a = dir / L"one", b = dir / L"two";
    WriteText(a, "x");
    WriteText(b, "xy");
    for (bool bFast : {false, true})
    {
        EXPECT_EQ(engine.Start(a.c_str(), b.c_str(), bFast), IDS_SIZE_DIFFERS);
        EXPECT_EQ(engine.m_nFileSize, 1u);
        EXPECT_TRUE(CanOpenExclusive(a));
        EXPECT_TRUE(CanOpenExclusive(b));
    }
}

TEST_F(EngineTest, AFileThatCannotBeOpenedGivesCannotOpenAndReleasesTheOther)
{
    auto [a, b] = EqualPair(10);
    const std::wstring missing = dir / L"missing";
    for (bool bFast : {false, true})
    {
        EXPECT_EQ(engine.Start(a.c_str(), missing.c_str(), bFast), IDS_CANNOT_OPEN);
        EXPECT_EQ(engine.Start(missing.c_str(), b.c_str(), bFast), IDS_CANNOT_OPEN);
        EXPECT_EQ(engine.m_hFile[0], nullptr);
        EXPECT_EQ(engine.m_hFile[1], nullptr);
        EXPECT_TRUE(CanOpenExclusive(a));
        EXPECT_TRUE(CanOpenExclusive(b));
    }
    // The same file on both sides: the first open shares nothing, so the second fails.
    EXPECT_EQ(engine.Start(a.c_str(), a.c_str(), false), IDS_CANNOT_OPEN);
    EXPECT_EQ(engine.Start(a.c_str(), a.c_str(), true), IDS_CANNOT_OPEN);
    EXPECT_TRUE(CanOpenExclusive(a));
}

TEST_F(EngineTest, EqualFilesOfEveryShapeAreSameInNormalMode)
{
    const size_t sizes[] = {1, 2, MiB - 1, MiB, MiB + 1, 3 * MiB + 77, 16 * MiB, 16 * MiB + 5};
    for (size_t size : sizes)
    {
        SCOPED_TRACE(testing::Message() << "size " << size);
        auto [a, b] = EqualPair(size);
        RunResult r = Run(a, b, false);
        ExpectWholeFileSame(r, size);
        EXPECT_EQ(r.status.nFilledSlots1, 1u);  // the zero-byte slot is counted, never compared
        EXPECT_EQ(r.status.nFilledSlots2, 1u);
        EXPECT_EQ(r.status.nSlotCount, 16u);
        EXPECT_TRUE(r.status.bNormalMode);
        EXPECT_EQ(r.nErrorCode, IDS_NO_ERROR);
        // The sink never takes a snapshot, so the first progress notice stays the only one.
        EXPECT_EQ(r.nProgress, 1);
    }
}

// Windows fails an unbuffered read whose offset, length or buffer is not sector-aligned, even at the end of the
// file; Wine does not. The preloaded injector stands in for Windows here.
TEST_F(EngineTest, FastModeReadsStayAlignedUpToTheEndOfEveryFile)
{
    if (!FaultRules::Available())
        GTEST_SKIP() << "fault injector not preloaded";
    const size_t sizes[] = {0, 1, 511, 512, 513, MiB - 1, MiB + 1, 3 * MiB + 512, 17 * MiB + 3};
    for (size_t size : sizes)
    {
        SCOPED_TRACE(testing::Message() << "size " << size);
        auto [a, b] = EqualPair(size);
        FaultRules rules;
        rules.Align(a, 512);
        rules.Align(b, 512);
        if (size % 512)
        {
            // The stand-in is in force: an unaligned read at the end is refused as on Windows.
            HANDLE h = ::CreateFileW(a.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
            void* p = ::VirtualAlloc(nullptr, 2 * MiB, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
            DWORD got;
            LARGE_INTEGER li;
            li.QuadPart = static_cast<LONGLONG>(size);
            ::SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
            EXPECT_FALSE(::ReadFile(h, p, 512, &got, nullptr));
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            ::VirtualFree(p, 0, MEM_RELEASE);
            ::CloseHandle(h);
        }
        RunResult r = Run(a, b, true);
        ASSERT_EQ(r.nStart, IDS_STARTED);
        EXPECT_FALSE(r.status.bNormalMode);
        EXPECT_EQ(r.code, IDS_SAME);
        EXPECT_EQ(r.status.nBytesCompared, size);
        EXPECT_EQ(r.nErrorCode, IDS_NO_ERROR);
    }
}

TEST_F(EngineTest, FastModeFallsBackToNormalForAPathWithoutDriveLetter)
{
    auto [a, b] = EqualPair(MiB + 3);
    RunResult r = Run(L"\\\\?\\" + a, L"\\\\?\\" + b, true);
    ASSERT_EQ(r.nStart, IDS_STARTED);
    EXPECT_TRUE(r.status.bNormalMode);
    EXPECT_EQ(r.code, IDS_SAME);
}

TEST_F(EngineTest, ASingleFlippedByteIsFoundAtEverySlotBoundary)
{
    const size_t size = 3 * MiB;
    const auto data = Pattern(size, 7);
    const std::wstring a = dir / L"a.bin", b = dir / L"b.bin";
    WriteBytes(a, data);
    const size_t positions[] = {0, 12345, MiB - 1, MiB, MiB + 777, 2 * MiB - 1, 2 * MiB, 3 * MiB - 1};
    for (size_t pos : positions)
    {
        auto changed = data;
        changed[pos] ^= 0x01;
        WriteBytes(b, changed);
        for (bool bFast : {false, true})
        {
            SCOPED_TRACE(testing::Message() << "byte " << pos << (bFast ? " fast" : " normal"));
            RunResult r = Run(a, b, bFast);
            ASSERT_EQ(r.nStart, IDS_STARTED);
            EXPECT_EQ(r.code, IDS_CONTENT_DIFFERS);
            EXPECT_EQ(r.status.nBytesCompared, pos / MiB * MiB);
            EXPECT_EQ(engine.GetFirstDifference(), pos);
            EXPECT_EQ(r.nErrorCode, IDS_CONTENT_DIFFERS);
            EXPECT_FALSE(r.bStopped);
        }
    }
}

// One run over both files whole, as the counts past 2^32 need, and no more: every slot before the last compared
// equal, both files read to their ends, and the difference found in the last byte.
TEST_F(EngineTest, FilesPastFourGibibytesCountPastTwoToThe32)
{
    const UINT64 size = 4 * 1024 * MiB + MiB + 3;
    const std::wstring a = dir / L"big1", b = dir / L"big2";
    MakeSparse(a, size);
    MakeSparse(b, size);
    PokeByte(b, size - 1, 1);
    sink.TakeSnapshots(&engine);
    const RunResult r = Run(a, b, false);
    ASSERT_EQ(r.nStart, IDS_STARTED);
    EXPECT_EQ(r.code, IDS_CONTENT_DIFFERS);
    EXPECT_EQ(r.status.nFileSize, size);
    EXPECT_EQ(r.status.nBytesRead1, size);
    EXPECT_EQ(r.status.nBytesRead2, size);
    EXPECT_EQ(r.status.nBytesCompared, (size - 1) / MiB * MiB);
    EXPECT_EQ(engine.GetFirstDifference(), size - 1);
}

TEST_F(EngineTest, ProgressNoticesWaitForTheOwnersSnapshotAndComeAtMostEverySixteenMilliseconds)
{
    // Sparse files read at memory speed: thousands of slots, far more than the display could ever show.
    const std::wstring a = dir / L"sparse1", b = dir / L"sparse2";
    MakeSparse(a, 1024 * MiB);
    MakeSparse(b, 1024 * MiB);
    sink.TakeSnapshots(&engine);
    LARGE_INTEGER freq, t0, t1;
    ::QueryPerformanceFrequency(&freq);
    ::QueryPerformanceCounter(&t0);
    RunResult r = Run(a, b, false);
    ::QueryPerformanceCounter(&t1);
    sink.TakeSnapshots(nullptr);
    ExpectWholeFileSame(r, 1024 * MiB);
    const double ms = static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
    // Taking a snapshot lets the next notice come; never are two waiting at once; never more than one per 16 ms.
    EXPECT_GE(r.nProgress, 2) << ms << " ms";
    EXPECT_EQ(sink.SecondProgressQueued(), 0);
    EXPECT_LE(r.nProgress, static_cast<int>(ms / 16.0) + 2) << ms << " ms";
}

TEST(ExactPath, DriveAndUncPathsTakeTheLiteralFormAndOthersStayAsTheyAre)
{
    const struct
    {
        const wchar_t *in, *out;
    } cases[] = {
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"t:\\dir\\nul.txt", L"\\\\?\\t:\\dir\\nul.txt"},
        {L"C:\\dir\\x.", L"\\\\?\\C:\\dir\\x."},
        {L"\\\\server\\share\\dir\\", L"\\\\?\\UNC\\server\\share\\dir\\"},
        {L"\\\\?\\C:\\already", L"\\\\?\\C:\\already"},
        {L"\\\\?\\UNC\\server\\share\\f", L"\\\\?\\UNC\\server\\share\\f"},
        {L"\\\\.\\NUL", L"\\\\.\\NUL"},
        {L"relative\\file", L"relative\\file"},
        {L"C:relative", L"C:relative"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ToExactPath(c.in), c.out) << std::string(c.in, c.in + wcslen(c.in));
}

// Names Win32 would take for a device or strip of trailing dots and spaces, at any depth: each opens the file of
// exactly that name. Made on disk by their literal names.
TEST_F(EngineTest, EveryNameOpensTheFileOfExactlyThatName)
{
    const std::wstring s1 = dir / L"s1\\", s2 = dir / L"s2\\";
    MakeDir(s1);
    MakeDir(s2);
    std::wstring deep1 = s1, deep2 = s2;
    for (int i = 0; i < 40; ++i)
    {
        const std::wstring level = L"level-" + std::to_wstring(i) + L"-abcdefgh\\";
        MakeDir(deep1 += level);
        MakeDir(deep2 += level);
    }
    const std::wstring names[] = {L"nul.txt", L"CON", L"aux.c", L"com1.log", L"lpt9", L"Nul.tar.gz", L"conin$", L"PRN.log",
                                  L"CONOUT$.x", L"com9 ", L"lpt1.", L"x", L"x.", L"x ", L"x.."};
    unsigned seed = 1;
    for (const std::wstring& name : names)
    {
        for (const std::wstring& folder : {std::wstring(), deep1.substr(s1.size())})
        {
            const std::wstring a = s1 + folder + name, b = s2 + folder + name;
            SCOPED_TRACE(testing::Message() << "\"" << std::string(name.begin(), name.end()) << "\" path length " << a.size());
            const auto data = Pattern(3000, ++seed);
            WriteBytes(a, data);
            WriteBytes(b, Pattern(3000, seed + 1000));
            for (bool bFast : {false, true})
            {
                RunResult r = Run(a, b, bFast);
                ASSERT_EQ(r.nStart, IDS_STARTED);
                EXPECT_EQ(r.code, IDS_CONTENT_DIFFERS);
            }
            WriteBytes(b, data);
            ExpectWholeFileSame(Run(a, b, false), 3000);
        }
    }
    // Both "x" are equal by now, and "x." holds other bytes: a path stripped of its dot would find this pair the same.
    RunResult r = Run(s1 + L"x.", s2 + L"x", false);
    ASSERT_EQ(r.nStart, IDS_STARTED);
    EXPECT_EQ(r.code, IDS_CONTENT_DIFFERS);
    EXPECT_GT(deep1.size() + 12, static_cast<size_t>(600));
}

TEST_F(EngineTest, AHandleThatIsNotADiskFileIsNeverCompared)
{
    const std::wstring a = dir / L"real.bin";
    WriteBytes(a, Pattern(0));
    const std::pair<std::wstring, std::wstring> pairs[] = {
        {L"\\\\.\\NUL", L"\\\\.\\NUL"}, {a, L"\\\\.\\NUL"}, {L"\\\\.\\NUL", a}};
    for (const auto& p : pairs)
    {
        for (bool bFast : {false, true})
        {
            SCOPED_TRACE(testing::Message() << std::string(p.first.begin(), p.first.end()) << " / "
                                            << std::string(p.second.begin(), p.second.end()) << (bFast ? " fast" : ""));
            EXPECT_EQ(engine.Start(p.first.c_str(), p.second.c_str(), bFast), IDS_CANNOT_OPEN);
            EXPECT_EQ(engine.m_hFile[0], nullptr);
            EXPECT_EQ(engine.m_hFile[1], nullptr);
            EXPECT_TRUE(CanOpenExclusive(a));
        }
    }
}

TEST_F(EngineTest, StopOnAFreshEngineOnlyMarksItStopped)
{
    engine.m_hNotifyWnd = sink.Hwnd();
    EXPECT_FALSE(engine.IsStopped());
    engine.Stop();
    EXPECT_TRUE(engine.IsStopped());
    engine.Stop();
    EXPECT_TRUE(engine.IsStopped());
    EXPECT_EQ(engine.GetErrorCode(), IDS_NO_ERROR);
    EXPECT_EQ(::WaitForSingleObject(engine.m_hStop, 0), WAIT_OBJECT_0);
    sink.Drain();
    EXPECT_TRUE(sink.Completions().empty());
    EXPECT_EQ(sink.Progress(), 0);
}

TEST_F(EngineTest, StartDuringARunEndsItAndItsCompletionFollows)
{
    const std::wstring a = dir / L"long1", b = dir / L"long2";
    MakeSparse(a, 4096 * MiB);
    MakeSparse(b, 4096 * MiB);
    auto [c, d] = EqualPair(5);
    engine.m_hNotifyWnd = sink.Hwnd();
    ASSERT_EQ(engine.Start(a.c_str(), b.c_str(), false), IDS_STARTED);
    ASSERT_EQ(engine.Start(c.c_str(), d.c_str(), false), IDS_STARTED);
    // The first run is over and released as soon as the second Start returns.
    EXPECT_TRUE(CanOpenExclusive(a));
    EXPECT_TRUE(CanOpenExclusive(b));
    ASSERT_TRUE(sink.WaitCompletions(2));
    // Gigabytes cannot be read in the moment between the two calls: the first run was cut short.
    EXPECT_EQ(sink.Completions()[0], IDS_INTERRUPTED);
    EXPECT_EQ(sink.Completions()[1], IDS_SAME);
    EXPECT_TRUE(engine.WaitFinished());
    EXPECT_FALSE(engine.IsStopped());
}

TEST_F(EngineTest, StopDuringARunInterruptsItAndReleasesEverything)
{
    const std::wstring a = dir / L"long1", b = dir / L"long2";
    MakeSparse(a, 512 * MiB);
    MakeSparse(b, 512 * MiB);
    engine.m_hNotifyWnd = sink.Hwnd();
    ASSERT_EQ(engine.Start(a.c_str(), b.c_str(), false), IDS_STARTED);
    ASSERT_TRUE(PumpUntil([&] { return sink.Progress() > 0; }));
    engine.Stop();
    EXPECT_TRUE(engine.IsStopped());
    EXPECT_EQ(engine.m_pBuffer[0], nullptr);
    EXPECT_EQ(engine.m_hComparerThread, nullptr);
    EXPECT_TRUE(CanOpenExclusive(a));
    ASSERT_TRUE(sink.WaitCompletions(1));
    EXPECT_EQ(sink.Completions()[0], IDS_INTERRUPTED);
    EXPECT_EQ(engine.GetErrorCode(), IDS_NO_ERROR);
}

TEST_F(EngineTest, AReadFailureInterruptsTheRunAndIsReported)
{
    if (!FaultRules::Available())
        GTEST_SKIP() << "fault injector not preloaded";
    auto [a, b] = EqualPair(4 * MiB);
    const struct
    {
        int nSource;
        UINT64 from;
    } cases[] = {{1, 2 * MiB}, {1, 0}, {0, MiB}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "source " << c.nSource + 1 << " from " << c.from);
        FaultRules rules;
        rules.Eio(c.nSource == 0 ? a : b, c.from);
        for (bool bFast : {false, true})
        {
            RunResult r = Run(a, b, bFast);
            ASSERT_EQ(r.nStart, IDS_STARTED);
            EXPECT_EQ(r.code, IDS_INTERRUPTED);
            EXPECT_EQ(r.nErrorCode, IDS_READ_FAILED);
            EXPECT_TRUE(engine.m_bReadError[c.nSource]);
            EXPECT_FALSE(engine.m_bReadError[1 - c.nSource]);
            EXPECT_FALSE(r.bStopped);
            EXPECT_LE(r.status.nBytesCompared, c.from);
        }
    }
}

TEST_F(EngineTest, AFileThatChangesLengthWhileReadGivesLengthDiffers)
{
    if (!FaultRules::Available())
        GTEST_SKIP() << "fault injector not preloaded";
    for (bool bFast : {false, true})
    {
        for (bool bGrow : {false, true})
        {
            SCOPED_TRACE(testing::Message() << (bGrow ? "grows" : "shrinks") << (bFast ? " fast" : " normal"));
            auto [a, b] = EqualPair(4 * MiB, bGrow ? L"g" : L"s");
            FaultRules rules;
            if (bGrow)
                rules.Resize(a, 2 * MiB, 5 * MiB);
            else
                rules.Resize(b, 2 * MiB, 3 * MiB - 100);
            RunResult r = Run(a, b, bFast);
            ASSERT_EQ(r.nStart, IDS_STARTED);
            EXPECT_EQ(r.code, IDS_LENGTH_DIFFERS);
            EXPECT_EQ(r.nErrorCode, IDS_CONTENT_DIFFERS);
            EXPECT_EQ(engine.GetFirstDifference(), bGrow ? 4 * MiB : 3 * MiB - 100);
        }
    }
}

TEST_F(EngineTest, FilesThatBothEndBeforeTheirSizeAreNeverSame)
{
    if (!FaultRules::Available())
        GTEST_SKIP() << "fault injector not preloaded";
    for (bool bFast : {false, true})
    {
        SCOPED_TRACE(bFast ? "fast" : "normal");
        auto [a, b] = EqualPair(4 * MiB, L"both");
        FaultRules rules;
        // Both shrink alike while read: every slot holds equal bytes and both reach their end together.
        rules.Resize(a, 2 * MiB, 3 * MiB - 100);
        rules.Resize(b, 2 * MiB, 3 * MiB - 100);
        RunResult r = Run(a, b, bFast);
        ASSERT_EQ(r.nStart, IDS_STARTED);
        EXPECT_EQ(r.code, IDS_LENGTH_DIFFERS);
        EXPECT_EQ(r.nErrorCode, IDS_CONTENT_DIFFERS);
        EXPECT_EQ(r.status.nBytesCompared, 3 * MiB - 100);
        EXPECT_EQ(engine.GetFirstDifference(), r.status.nBytesCompared);
    }
}

TEST_F(EngineTest, ErrorCodeNamesAReadFailureBeforeADifference)
{
    engine.m_bContentDiffers = true;
    EXPECT_EQ(engine.GetErrorCode(), IDS_CONTENT_DIFFERS);
    engine.m_bReadError[1] = true;
    EXPECT_EQ(engine.GetErrorCode(), IDS_READ_FAILED);
    engine.m_bContentDiffers = false;
    EXPECT_EQ(engine.GetErrorCode(), IDS_READ_FAILED);
}

TEST_F(EngineTest, AThreadThatCannotBeCreatedStopsTheEngine)
{
    auto [a, b] = EqualPair(3 * MiB);
    g_enginePlatform.pfnCreateThread = FailingCreateThread;
    engine.m_hNotifyWnd = sink.Hwnd();
    for (int nCreated : {0, 1, 2})
    {
        SCOPED_TRACE(testing::Message() << nCreated << " threads created");
        sink.Clear();
        g_nThreadsBeforeFailure = nCreated;
        EXPECT_EQ(engine.Start(a.c_str(), b.c_str(), false), IDS_THREAD_FAILED);
        EXPECT_TRUE(engine.IsStopped());
        EXPECT_TRUE(CanOpenExclusive(a));
        EXPECT_EQ(engine.m_pBuffer[0], nullptr);
        sink.Drain();
        // A comparer that did start reports the interruption.
        EXPECT_EQ(sink.Completions(), nCreated > 0 ? std::vector<LPARAM>{IDS_INTERRUPTED} : std::vector<LPARAM>{});
    }
}

std::atomic<bool> g_bQueueFull;
std::atomic<int> g_nRefusedCompletions;

BOOL WINAPI PostToQueue(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (g_bQueueFull)
    {
        if (wParam == 0)
            ++g_nRefusedCompletions;
        ::SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return ::PostMessageW(hWnd, uMsg, wParam, lParam);
}

TEST_F(EngineTest, AFullQueueNeitherLosesACompletionNorBlocksStop)
{
    auto [a, b] = EqualPair(2 * MiB + 1);
    g_enginePlatform.pfnPostMessage = PostToQueue;
    engine.m_hNotifyWnd = sink.Hwnd();
    for (bool bStopWhileFull : {false, true})
    {
        SCOPED_TRACE(bStopWhileFull ? "Stop while full" : "queue drains");
        sink.Clear();
        g_nRefusedCompletions = 0;
        g_bQueueFull = true;
        ASSERT_EQ(engine.Start(a.c_str(), b.c_str(), false), IDS_STARTED);
        ASSERT_TRUE(PumpUntil([] { return g_nRefusedCompletions >= 3; }));
        if (bStopWhileFull)
        {
            // The comparer is retrying its completion; the owner, inside Stop, cannot drain the queue.
            const ULONGLONG t0 = ::GetTickCount64();
            engine.Stop();
            EXPECT_LT(::GetTickCount64() - t0, 5000u);
            EXPECT_EQ(engine.m_hComparerThread, nullptr);
            EXPECT_TRUE(CanOpenExclusive(a));
            g_bQueueFull = false;
        }
        else
        {
            g_bQueueFull = false;
            ASSERT_TRUE(sink.WaitCompletions(1));
            EXPECT_EQ(sink.Completions()[0], IDS_SAME);
            EXPECT_TRUE(engine.WaitFinished());
            sink.Drain();
            EXPECT_EQ(sink.Completions().size(), 1u);
        }
    }
}

TEST_F(EngineTest, AThousandStartsAndStopsAtRandomMomentsNeitherHangNorLeak)
{
    auto [a, b] = EqualPair(3 * MiB + 7);
    engine.m_hNotifyWnd = sink.Hwnd();
    std::mt19937 rng(12345);
    SIZE_T memBefore = 0;
    DWORD handlesBefore = 0;
    const int kCycles = 1000, kWarmUp = 20;
    size_t nCompletions = 0;
    for (int i = 0; i < kCycles; ++i)
    {
        if (i == kWarmUp)
        {
            memBefore = CommittedPrivateBytes();
            handlesBefore = HandleGauge();
        }
        const int nProgress = sink.Progress();
        ASSERT_EQ(engine.Start(a.c_str(), b.c_str(), false), IDS_STARTED) << "cycle " << i;
        switch (rng() % 3)
        {
        case 0:  // at once, usually before the first slot
            break;
        case 1:  // once reading is under way
            ASSERT_TRUE(PumpUntil([&] { return sink.Progress() > nProgress || sink.Completions().size() > nCompletions; })) << i;
            break;
        default:  // after the completion was posted
            ASSERT_TRUE(sink.WaitCompletions(nCompletions + 1)) << "cycle " << i;
            break;
        }
        engine.Stop();
        ASSERT_TRUE(sink.WaitCompletions(nCompletions + 1)) << "cycle " << i;
        // The threads are joined, so every notice of this cycle is queued: none may pass for the next one's.
        sink.Drain();
        ++nCompletions;
        const LPARAM code = sink.Completions().back();
        ASSERT_TRUE(code == IDS_SAME || code == IDS_CONTENT_DIFFERS || code == IDS_LENGTH_DIFFERS || code == IDS_INTERRUPTED)
            << "cycle " << i << " code " << code;
        // Files are equal: nothing may ever be reported as differing.
        ASSERT_TRUE(code == IDS_SAME || code == IDS_INTERRUPTED) << "cycle " << i;
    }
    sink.Drain();
    EXPECT_EQ(sink.Completions().size(), static_cast<size_t>(kCycles));
    EXPECT_LE(CommittedPrivateBytes(), memBefore + 4 * MiB);
    EXPECT_LE(HandleGauge(), handlesBefore + 8);
}
}  // namespace
