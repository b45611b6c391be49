// tavik-verify.exe with several files in flight per side: rows in list order at every depth, a stalled file that
// does not hold the others, Ctrl+Break among many reads, the depth each side gets from its device, and --backup.
#include "ReadDepth.h"
#include "CliHarness.h"
#include "PairStream.h"
#include <gtest/gtest.h>
#include "resource.h"
#include <winioctl.h>
#include <algorithm>
#include <mutex>
#include <set>

namespace
{
const UINT64 MiB = 0x100000;

// One line of the fault injector's log: a read of a file that has a rule began, or a stalled one went on.
struct LoggedRead
{
    std::string path;  // the file's Linux path
    bool bStallEnded;
    UINT64 nOffset;
};

// The fault injector's log for the child processes started while it lives. Its name is set in tests/CMakeLists.txt:
// the injector reads the Linux environment, which a Windows parent cannot change for its child.
class FaultLog
{
public:
    FaultLog()
    {
        char unix[MAX_PATH];
        const DWORD n = ::GetEnvironmentVariableA("TAVIK_FAULT_LOG", unix, sizeof unix);
        EXPECT_TRUE(n > 0 && n < sizeof unix);
        m_path = n > 0 && n < sizeof unix ? FromUnix(unix) : std::wstring();
        ::DeleteFileW(m_path.c_str());
    }
    ~FaultLog() { ::DeleteFileW(m_path.c_str()); }
    FaultLog(const FaultLog&) = delete;
    FaultLog& operator=(const FaultLog&) = delete;
    // The whole lines written so far.
    std::vector<LoggedRead> Reads() const
    {
        std::vector<LoggedRead> reads;
        HANDLE h = ::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return reads;
        std::string text;
        char buf[65536];
        DWORD n = 0;
        while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
            text.append(buf, n);
        ::CloseHandle(h);
        // "<path> fd=... ok", or "... stall ended"
        const std::string kEnded = " stall ended";
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        {
            const std::string line = text.substr(at, end - at);
            const size_t nOffset = line.find(" offset=");
            reads.push_back({line.substr(0, line.find(" fd=")),
                             line.size() > kEnded.size() && line.compare(line.size() - kEnded.size(), kEnded.size(), kEnded) == 0,
                             nOffset == std::string::npos ? 0 : std::stoull(line.substr(nOffset + 8))});
        }
        return reads;
    }

private:
    std::wstring m_path;
};

// How many of the files have a read in the log.
size_t CountRead(const std::vector<LoggedRead>& reads, const std::vector<std::wstring>& files)
{
    std::set<std::string> paths;
    for (const LoggedRead& read : reads)
        paths.insert(read.path);
    size_t n = 0;
    for (const std::wstring& file : files)
        n += paths.count(UnixPath(file));
    return n;
}

// Rules that never fire, only to have a file's reads logged.
void LogReads(FaultRules& rules, const std::wstring& file)
{
    rules.Eio(file, 64 * 1024 * MiB);
}

std::wstring Name(const wchar_t* prefix, int i)
{
    wchar_t buf[32];
    swprintf(buf, 32, L"%ls%03d", prefix, i);
    return buf;
}
}

// Jobs finish out of order at depth 2 and 8 (a small pair behind a big one first): the rows still come in list
// order, each with its own pair's verdict, exactly as one file at a time writes them.
TEST(VerifyStream, RowsAtEveryDepthAreTheRowsOfDepthOneByteForByte)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    FaultRules rules;
    std::vector<std::unique_ptr<ExclusiveHold>> holds;
    enum Kind { kSame, kDiffers, kSize, kOnly1, kOnly2, kCannotOpen, kReadError, kKinds };
    const wchar_t* const verdicts[] = {L"same", L"differs", L"size", L"only1", L"only2", L"cannot-open", L"read-error"};
    // Two of five are several slots long; seven kinds against five sizes give every pairing.
    const UINT64 sizes[] = {3 * MiB + 5, 1, 70000, MiB + 1, 4000};
    std::vector<std::pair<std::wstring, std::wstring>> expected;  // name and verdict
    for (int i = 0; i < 35; ++i)
    {
        const Kind kind = static_cast<Kind>(i % kKinds);
        const UINT64 size = sizes[i % 5];
        const std::wstring name = Name(L"n", i);
        const std::vector<unsigned char> data = Pattern(static_cast<size_t>(size), static_cast<unsigned>(i));
        if (kind != kOnly2)
            WriteBytes(s.a + name, data);
        if (kind != kOnly1)
            WriteBytes(s.b + name, kind == kSize ? Pattern(static_cast<size_t>(size) + 1, static_cast<unsigned>(i)) : data);
        if (kind == kDiffers)
            PokeByte(s.b + name, size - 1, static_cast<unsigned char>(data[size - 1] ^ 1));
        if (kind == kCannotOpen)
            holds.push_back(std::make_unique<ExclusiveHold>(s.b + name));
        if (kind == kReadError)
            rules.Eio(s.a + name, size > MiB ? MiB : 0);
        expected.push_back({name, verdicts[kind]});
    }

    Result first;
    for (const wchar_t* pszDepth : {L"1", L"2", L"8"})
    {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(pszDepth)));
        const Result r = RunVerify(s.Args({L"--depth", pszDepth}));
        EXPECT_EQ(r.exitCode, 2u);
        if (first.out.empty())
        {
            // One file at a time is right to begin with.
            const auto rows = ParseTsv(r.out);
            ASSERT_EQ(rows.size(), expected.size());
            for (size_t i = 0; i < rows.size(); ++i)
            {
                EXPECT_EQ(rows[i].first, expected[i].first);
                EXPECT_EQ(rows[i].second.verdict, expected[i].second) << ::testing::PrintToString(rows[i].first);
                // The injector's EIO is ERROR_NOT_READY (21).
                const std::wstring detail = expected[i].second == L"differs"      ? std::to_wstring(sizes[i % 5] - 1)
                                            : expected[i].second == L"read-error"  ? L"error-21"
                                            : expected[i].second == L"cannot-open" ? L"in-use"
                                                                                   : L"";
                EXPECT_EQ(rows[i].second.detail, detail);
            }
            first = r;
            continue;
        }
        EXPECT_EQ(r.out, first.out);
        // The summary too, up to its time and speed.
        const std::wstring totals = Text(IDS_CLI_TOTALS);
        const std::wstring timeAfter = totals.substr(2, totals.find(L"%2") - 2);
        const std::wstring err = r.Err(), firstErr = first.Err();
        EXPECT_EQ(err.substr(0, err.rfind(timeAfter)), firstErr.substr(0, firstErr.rfind(timeAfter)));
        EXPECT_NE(err.rfind(timeAfter), std::wstring::npos);
    }
}

// A file whose read does not return holds only its own row: the readers beside it read the files behind it, and
// those get compared, since without comparisons their slots would not come free again. One file at a time, nothing
// behind it is read until the stalled read goes on.
TEST(VerifyStream, AStalledFileDoesNotHoldTheFilesBehindIt)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    const int nStalled = 10, nFiles = 131;
    for (int i = 0; i < nFiles; ++i)
        s.Both(Name(L"f", i), Pattern(4096, static_cast<unsigned>(i)));
    // More files behind the stalled one than all the slots of both sides hold.
    const std::wstring stalled = s.a + Name(L"f", nStalled);
    std::vector<std::wstring> behind;
    for (int i = nStalled + 1; i < nFiles; ++i)
        behind.push_back(s.a + Name(L"f", i));

    {
        FaultLog log;
        FaultRules rules;
        // Far longer than the wait below: the stalled read is blocked all the while.
        rules.Stall(stalled, 120);
        for (const std::wstring& file : behind)
            LogReads(rules, file);
        Child child(s.Args({L"--depth", L"8"}), std::wstring(), CREATE_NEW_PROCESS_GROUP);
        std::vector<LoggedRead> reads;
        EXPECT_TRUE(PumpUntil([&] { return CountRead(reads = log.Reads(), behind) == behind.size(); }, 60000))
            << CountRead(reads, behind) << " of " << behind.size() << " files behind the stalled one read";
        EXPECT_EQ(CountRead(reads, {stalled}), 1u);
        for (const LoggedRead& read : reads)
            EXPECT_FALSE(read.bStallEnded) << read.path;
        SendCtrlBreak(child.Info());
        const Result r = child.Finish(20000);
        EXPECT_EQ(r.exitCode, 3u);
        const auto rows = ParseTsv(r.out);
        ASSERT_EQ(rows.size(), static_cast<size_t>(nFiles));
        for (int i = 0; i < nFiles; ++i)
            EXPECT_EQ(rows[i].second.verdict, i < nStalled ? L"same" : i == nStalled ? L"interrupted" : L"not-compared") << i;
    }
    {
        FaultLog log;
        FaultRules rules;
        rules.Stall(stalled, 1);
        for (const std::wstring& file : behind)
            LogReads(rules, file);
        const Result r = RunVerify(s.Args({L"--depth", L"1"}));
        EXPECT_EQ(r.exitCode, 0u);
        const std::vector<LoggedRead> reads = log.Reads();
        EXPECT_EQ(CountRead(reads, behind), behind.size());
        // Every read of the stalled file, the one that waited and any that completes it, came first.
        const std::string unixStalled = UnixPath(stalled);
        size_t nLastStalled = 0, nFirstBehind = reads.size();
        for (size_t i = 0; i < reads.size(); ++i)
            if (reads[i].path == unixStalled)
                nLastStalled = i;
            else if (nFirstBehind == reads.size())
                nFirstBehind = i;
        ASSERT_LT(nLastStalled, reads.size());
        EXPECT_TRUE(reads[nLastStalled].bStallEnded);
        EXPECT_LT(nLastStalled, nFirstBehind) << "a file behind the stalled one was read while it waited";
    }
}

// A read that stalls after its pair's verdict holds that one job: the jobs behind it go once their rows are written,
// so what the stream holds does not grow with the tree (the seam build says how many jobs it held after their rows).
TEST(VerifyStream, AReadStalledAfterItsVerdictHoldsOnlyItsOwnJob)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    s.Both(L"a", Pattern(3 * MiB, 1));
    PokeByte(s.b + L"a", 5, static_cast<unsigned char>(Pattern(3 * MiB, 1)[5] ^ 1));
    const int nBehind = 300;
    for (int i = 0; i < nBehind; ++i)
        s.Both(Name(L"f", i), Pattern(100, static_cast<unsigned>(i)));
    FaultLog log;
    auto rules = std::make_unique<FaultRules>();
    // Side 1's first read waits until side 2's reader is in its second slot, which stalls for the rest of the run.
    rules->Hold(s.a + L"a", 0);
    rules->Stall(s.b + L"a", 120, MiB);
    Child child(s.Args({L"--depth", L"2"}), std::wstring(), 0, VerifyExe(true));
    const std::string stalled = UnixPath(s.b + L"a");
    ASSERT_TRUE(PumpUntil([&] {
        for (const LoggedRead& read : log.Reads())
            if (read.path == stalled && read.nOffset >= MiB)
                return true;
        return false;
    }, 60000));
    rules.reset();
    const Result r = child.Finish();
    EXPECT_EQ(r.exitCode, 1u);
    const auto rows = ParseTsv(r.out);
    ASSERT_EQ(rows.size(), static_cast<size_t>(nBehind + 1));
    EXPECT_EQ(rows[0].second.verdict, L"differs");
    EXPECT_EQ(rows[0].second.detail, L"5");
    const std::wstring err = r.Err();
    const size_t at = err.find(L" ahead, ");
    ASSERT_NE(at, std::wstring::npos) << r.err;
    EXPECT_LE(wcstoul(err.c_str() + at + 8, nullptr, 10), 8u) << "jobs held after their rows, of " << nBehind + 1;
}

// Ctrl+Break while up to eight big pairs stream and a read on each side does not return: the program gives up on
// the stalled reads (Wine cannot cancel them) and ends with a row for every name.
TEST(VerifyStream, CtrlBreakWithManyReadsInFlightAndTwoStalledEndsAtOnce)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    FaultLog log;
    FaultRules rules;
    s.Both(L"f000", Pattern(100, 1));
    s.Both(L"f001-stalled1", Pattern(100, 2));
    s.Both(L"f002-stalled2", Pattern(100, 3));
    rules.Stall(s.a + L"f001-stalled1", 120);
    rules.Stall(s.b + L"f002-stalled2", 120);
    // Holes read at memory speed, yet 8 GiB take each of several readers far longer than the wait below.
    std::vector<std::wstring> big;
    for (int i = 3; i < 17; ++i)
    {
        big.push_back(Name(L"f", i) + L"-big");
        MakeSparse(s.a + big.back(), 8192 * MiB);
        MakeSparse(s.b + big.back(), 8192 * MiB);
        LogReads(rules, s.a + big.back());
        LogReads(rules, s.b + big.back());
    }
    for (int i = 17; i < 40; ++i)
        s.Both(Name(L"f", i), Pattern(100, static_cast<unsigned>(i)));

    Child child(s.Args({L"--depth", L"8"}), std::wstring(), CREATE_NEW_PROCESS_GROUP);
    // Both stalled reads under way, and big files read on six readers of each side at least.
    std::vector<std::wstring> big1, big2;
    for (const std::wstring& name : big)
    {
        big1.push_back(s.a + name);
        big2.push_back(s.b + name);
    }
    std::vector<LoggedRead> reads;
    ASSERT_TRUE(PumpUntil([&] {
        reads = log.Reads();
        return CountRead(reads, {s.a + L"f001-stalled1", s.b + L"f002-stalled2"}) == 2 && CountRead(reads, big1) >= 6 &&
               CountRead(reads, big2) >= 6;
    }, 60000)) << CountRead(reads, big1) << " and " << CountRead(reads, big2) << " big files read";

    const ULONGLONG t0 = ::GetTickCount64();
    SendCtrlBreak(child.Info());
    EXPECT_EQ(::WaitForSingleObject(child.Info().hProcess, 30000), WAIT_OBJECT_0);
    const ULONGLONG ms = ::GetTickCount64() - t0;
    // The program's own bound is a fifth of a second (a wait for a verdict looks every 20 ms, the readers get
    // 100 ms to stop); seconds would mean a stalled read or a busy reader held it.
    EXPECT_LT(ms, 2000u) << "from the break to the end of the process";
    const Result r = child.Finish();
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_NE(r.Err().find(Text(IDS_RUN_ABORTED)), std::wstring::npos);
    const auto rows = ParseTsv(r.out);
    ASSERT_EQ(rows.size(), 40u);
    EXPECT_EQ(rows[0].second.verdict, L"same");
    EXPECT_EQ(rows[1].second.verdict, L"interrupted");
    for (size_t i = 2; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].second.verdict, L"not-compared") << ::testing::PrintToString(rows[i].first);
}

// A folder whose listing does not return, as on a share that stopped answering: the folders listed before it are
// read and their rows written meanwhile, Ctrl+Break ends the run while the listing is still held (Wine cannot cancel
// it: the lister is left behind), and once the share answers again the run goes on to its end. The folder given
// holds everything; a subfolder only what comes after it.
TEST(VerifyStream, AListingThatDoesNotReturnHoldsOnlyWhatComesAfterIt)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    for (const wchar_t* dir : {L"a", L"z"})
    {
        MakeDir(s.a + dir);
        MakeDir(s.b + dir);
    }
    for (const wchar_t* name : {L"a\\1", L"a\\2", L"a\\3", L"z\\f"})
        s.Both(name, Pattern(5000, 9));
    PokeByte(s.b + L"a\\2", 4321, 0);
    const std::vector<std::pair<std::wstring, std::wstring>> before = {{L"a\\1", L"same"}, {L"a\\2", L"differs"}, {L"a\\3", L"same"}};
    // With --depth the devices are not asked, so the folder given is held in its listing, not in that question.
    struct Case
    {
        std::wstring held;
        bool bBreak;  // Ctrl+Break while held, or lift the hold
        std::vector<std::wstring> options;
    } cases[] = {{s.b, true, {L"-r"}}, {s.b, true, {L"-r", L"--depth", L"2"}}, {s.b + L"z", true, {L"-r"}},
                 {s.b + L"z", false, {L"-r"}}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << UnixPath(c.held) << (c.bBreak ? " broken " : " lifted ") << c.options.size());
        const bool bTop = c.held == s.b;
        FaultLog log;
        auto rules = std::make_unique<FaultRules>();
        rules->OpenHold(c.held);
        Child child(s.Args(c.options), std::wstring(), CREATE_NEW_PROCESS_GROUP);
        ASSERT_TRUE(PumpUntil([&] { return CountRead(log.Reads(), {c.held}) > 0; }, 60000)) << "the listing never began";
        if (!bTop)
        {
            ASSERT_TRUE(child.Out().WaitFor([](const std::string& out) { return out.find("\ta\\\\3\t") != std::string::npos; }, 60000))
                << "the rows of the folder listed before the held one did not come";
        }
        std::vector<std::pair<std::wstring, std::wstring>> expected;
        if (c.bBreak)
        {
            const ULONGLONG t0 = ::GetTickCount64();
            SendCtrlBreak(child.Info());
            ASSERT_EQ(::WaitForSingleObject(child.Info().hProcess, 30000), WAIT_OBJECT_0) << "ended only with the listing";
            const ULONGLONG ms = ::GetTickCount64() - t0;
            // The program's own bound is about an eighth of a second: the break is looked at every 20 ms, the
            // listers get 100 ms to stop.
            EXPECT_LT(ms, 2000u) << "from the break to the end of the process";
            if (!bTop)
                expected = before;
        }
        else
        {
            rules.reset();
            expected = before;
            expected.push_back({L"z\\f", L"same"});
        }
        const Result r = child.Finish();
        EXPECT_EQ(r.exitCode, c.bBreak ? 3u : 1u);
        std::vector<std::pair<std::wstring, std::wstring>> rows;
        for (const auto& row : ParseTsv(r.out))
            rows.push_back({row.first, row.second.verdict});
        EXPECT_EQ(rows, expected);
    }
}

// After --stop-on-diff nothing more is compared, but the run still lists to its end: Ctrl+C then ends it at once as
// interrupted, also while a folder's listing does not return.
TEST(VerifyStream, CtrlBreakAfterAStopEndsTheRunWhileItStillLists)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    s.Both(L"a", Pattern(5000, 1));
    PokeByte(s.b + L"a", 7, 0);
    MakeDir(s.a + L"z");
    MakeDir(s.b + L"z");
    s.Both(L"z\\f", Pattern(10, 2));
    FaultLog log;
    FaultRules rules;
    rules.OpenHold(s.b + L"z");
    Child child(s.Args({L"-r", L"--stop-on-diff"}), std::wstring(), CREATE_NEW_PROCESS_GROUP);
    ASSERT_TRUE(child.Out().WaitFor([](const std::string& out) { return out.find("differs\ta\t") != std::string::npos; }, 60000));
    ASSERT_TRUE(PumpUntil([&] { return CountRead(log.Reads(), {s.b + L"z"}) > 0; }, 60000)) << "the listing never began";
    const ULONGLONG t0 = ::GetTickCount64();
    SendCtrlBreak(child.Info());
    ASSERT_EQ(::WaitForSingleObject(child.Info().hProcess, 30000), WAIT_OBJECT_0) << "ended only with the listing";
    EXPECT_LT(::GetTickCount64() - t0, 2000u) << "from the break to the end of the process";
    const Result r = child.Finish();
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_NE(r.Err().find(Text(IDS_RUN_ABORTED)), std::wstring::npos) << r.err;
}

// The manifest of an audit is read on a thread of its own: Ctrl+C ends the run at once, also while a read of the
// manifest does not return (as on a share that stopped answering), and nothing is listed.
TEST(VerifyStream, CtrlBreakWhileTheManifestIsReadEndsTheAuditAtOnce)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    const std::wstring manifest = s.dir / L"sums.sha256";
    std::string text;
    while (text.size() < 2 * MiB)
        text += std::string(64, '0') + "  f" + std::to_string(text.size()) + "\n";
    WriteText(manifest, text.c_str());
    FaultLog log;
    FaultRules rules;
    rules.Hold(manifest, MiB);  // its first mebibyte is read, the read of the second waits while the rule stands
    LogReads(rules, manifest);
    Child child({L"--check", manifest, s.b}, std::wstring(), CREATE_NEW_PROCESS_GROUP);
    ASSERT_TRUE(PumpUntil([&] { return CountRead(log.Reads(), {manifest}) > 0; }, 60000)) << "the manifest was never read";
    const ULONGLONG t0 = ::GetTickCount64();
    SendCtrlBreak(child.Info());
    ASSERT_EQ(::WaitForSingleObject(child.Info().hProcess, 30000), WAIT_OBJECT_0) << "ended only with the read";
    EXPECT_LT(::GetTickCount64() - t0, 2000u) << "from the break to the end of the process";
    const Result r = child.Finish();
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.Err().find(Text(IDS_RUN_ABORTED)), std::wstring::npos) << r.err;
}

namespace
{
// What the fake volume says, and the roots it was asked about.
UINT g_nDriveType;
int g_nSeekPenalty;
std::vector<std::wstring> g_asked;

UINT FakeDriveType(LPCWSTR pszRoot)
{
    g_asked.push_back(pszRoot);
    return g_nDriveType;
}

int FakeSeekPenalty(LPCWSTR pszRoot)
{
    g_asked.push_back(pszRoot);
    return g_nSeekPenalty;
}

int g_nBusType;
int g_nBusAsked;
int FakeBusType(LPCWSTR pszRoot)
{
    g_asked.push_back(pszRoot);
    ++g_nBusAsked;
    return g_nBusType;
}
}

TEST(VerifyDepth, EachFolderGetsTheDepthOfItsDevice)
{
    TempDir dir;
    CVolumeQueries fake;
    fake.pfnDriveType = FakeDriveType;
    fake.pfnSeekPenalty = FakeSeekPenalty;
    fake.pfnBusType = FakeBusType;
    const std::wstring root = dir.Path().substr(0, 3);  // the temporary folder's drive, "C:\\"
    const int kNone = -1;
    const struct
    {
        std::wstring folder;
        UINT nDriveType;
        int nSeekPenalty;
        int nBusType;
        UINT32 nDepth;
        UINT32 nLeast, nMost;  // where the depth is found while the run reads
        const wchar_t* pszWhy;
    } cases[] = {
        // A share is a share whatever its server's disks: nothing to ask.
        {L"\\\\server\\share\\backup\\", DRIVE_FIXED, 1, BusTypeUsb, 8, 2, 64, L"share"},
        {L"\\\\?\\UNC\\server\\share\\backup\\", DRIVE_FIXED, 1, BusTypeUsb, 8, 2, 64, L"share"},
        // A local folder in its literal form is no share: its disk is asked.
        {L"\\\\?\\" + dir.Path(), DRIVE_FIXED, 1, kNone, 1, 1, 1, L"seek penalty: yes"},
        {dir.Path(), DRIVE_REMOTE, 0, kNone, 8, 2, 64, L"remote drive"},
        {dir.Path(), DRIVE_FIXED, 1, BusTypeSata, 1, 1, 1, L"seek penalty: yes"},
        // A seek penalty that is known wins over the bus: a USB disk that says it does not spin is believed.
        {dir.Path(), DRIVE_FIXED, 0, BusTypeUsb, 4, 1, 64, L"seek penalty: no"},
        // Where nobody says, the bus does: USB, 1394, SD and MMC start from one file at a time.
        {dir.Path(), DRIVE_REMOVABLE, kNone, BusTypeUsb, 1, 1, 64, L"seek penalty: ?, bus: USB"},
        {dir.Path(), DRIVE_FIXED, kNone, BusType1394, 1, 1, 64, L"seek penalty: ?, bus: 1394"},
        {dir.Path(), DRIVE_REMOVABLE, kNone, BusTypeSd, 1, 1, 64, L"seek penalty: ?, bus: SD"},
        {dir.Path(), DRIVE_REMOVABLE, kNone, BusTypeMmc, 1, 1, 64, L"seek penalty: ?, bus: MMC"},
        {dir.Path(), DRIVE_FIXED, kNone, BusTypeSata, 4, 1, 64, L"seek penalty: ?, bus: SATA"},
        {dir.Path(), DRIVE_FIXED, kNone, BusTypeNvme, 4, 1, 64, L"seek penalty: ?, bus: NVMe"},
        {dir.Path(), DRIVE_REMOVABLE, kNone, kNone, 4, 1, 64, L"seek penalty: ?, bus: ?"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << ::testing::PrintToString(c.folder) << " " << c.nDriveType << " " << c.nSeekPenalty
                                          << " " << c.nBusType);
        g_nDriveType = c.nDriveType;
        g_nSeekPenalty = c.nSeekPenalty;
        g_nBusType = c.nBusType;
        g_asked.clear();
        g_nBusAsked = 0;
        std::wstring why;
        ReadDepth::CRange range;
        range.nLeast = range.nMost = 0;
        EXPECT_EQ(ReadDepth::ForFolder(c.folder, &fake, &why, &range), c.nDepth);
        EXPECT_EQ(range.nLeast, c.nLeast);
        EXPECT_EQ(range.nMost, c.nMost);
        EXPECT_EQ(why, c.pszWhy);
        // The bus only where the seek penalty is not known.
        EXPECT_EQ(g_nBusAsked, c.nSeekPenalty == kNone ? 1 : 0);
        // The volume is asked by its root, as the system calls take it.
        for (const std::wstring& asked : g_asked)
            EXPECT_EQ(asked, root);
        EXPECT_EQ(g_asked.empty(), c.nDepth == 8 && c.nDriveType != DRIVE_REMOTE);
    }
    // Wine answers no storage query: a local folder gets the depth of a device that does not say.
    EXPECT_EQ(ReadDepth::ForFolder(dir.Path()), ReadDepth::kLocal);
}

TEST(VerifyDepth, DepthOptionFromOneToSixtyFour)
{
    Sides s;
    s.Both(L"x", Pattern(10, 1));
    for (const std::vector<std::wstring>& bad : std::vector<std::vector<std::wstring>>{
             {L"--depth", L"0"}, {L"--depth", L"65"}, {L"--depth", L"x"}, {L"--depth", L"-1"}, {L"--depth", L"8x"},
             {L"--depth=0"}, {L"--depth="}, {L"--depth", L"99999999999"}})
    {
        SCOPED_TRACE(::testing::PrintToString(bad));
        const Result r = RunVerify(s.Args(bad));
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(r.Err().find(Text(IDS_CLI_BAD_DEPTH)), std::wstring::npos);
    }
    // At the end of the line it would take the first folder for its value.
    EXPECT_EQ(RunVerify({s.a, s.b, L"--depth"}).exitCode, 2u);
    for (const std::vector<std::wstring>& good : std::vector<std::vector<std::wstring>>{{L"--depth", L"64"}, {L"--depth=1"}})
    {
        SCOPED_TRACE(::testing::PrintToString(good));
        const Result r = RunVerify(s.Args(good));
        EXPECT_EQ(r.exitCode, 0u);
        ExpectRows(r, "tsv", {{L"same", L"x", L"10", L"10", L"fast", L""}});
    }
}

// Where the run reads slowly, --verbose says why: each side's depth and what its device answered.
TEST(VerifyDepth, VerboseShowsBothAnswersAndTheDepth)
{
    Sides s;
    s.Both(L"x", Pattern(10, 1));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TAVIK_SEAM_VOLUME", L"-1,7"));  // no seek penalty said, a USB bus
    const Result usb = RunSeam(s.Args({L"--verbose"}));
    const Result quiet = RunSeam(s.Args());
    ::SetEnvironmentVariableW(L"TAVIK_SEAM_VOLUME", nullptr);
    const std::wstring side = L" 1 (seek penalty: ?, bus: USB)";
    std::wstring line = Text(IDS_CLI_DEPTH);
    line.replace(line.find(L"%1"), 2, Text(IDS_CLI_SOURCE1) + side + L"、" + Text(IDS_CLI_SOURCE2) + side);
    EXPECT_NE(usb.Err().find(line + L"\n"), std::wstring::npos) << usb.err;
    EXPECT_EQ(usb.exitCode, 0u);
    EXPECT_EQ(quiet.Err().find(Text(IDS_CLI_SOURCE1)), std::wstring::npos) << quiet.err;
    // What Wine answers: no seek penalty, and a bus (SCSI) that reads more than one file at a time well; --depth
    // says itself.
    const Result wine = RunVerify(s.Args({L"--verbose"}));
    EXPECT_NE(wine.Err().find(L" 4 (seek penalty: ?, bus: "), std::wstring::npos) << wine.err;
    const Result given = RunVerify(s.Args({L"--verbose", L"--depth", L"2"}));
    EXPECT_NE(given.Err().find(L"2 (--depth)"), std::wstring::npos) << given.err;
}

namespace
{
// The flags of every CreateFileW call of this process, by path; the stream's readers call it at once.
std::mutex g_opensLock;
std::vector<std::pair<std::wstring, DWORD>> g_opens;
const auto g_pfnCreateFile = reinterpret_cast<decltype(&::CreateFileW)>(
    reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "CreateFileW")));
HANDLE WINAPI RecordingCreateFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES pSecurity,
                                  DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate)
{
    {
        std::lock_guard<std::mutex> lock(g_opensLock);
        g_opens.push_back({pszPath, dwFlags});
    }
    return g_pfnCreateFile(pszPath, dwAccess, dwShare, pSecurity, dwDisposition, dwFlags, hTemplate);
}

std::vector<CStreamVerdict> RunStream(const std::vector<CStreamJob>& jobs, const CStreamOptions& options)
{
    CPairStream stream;
    std::vector<CStreamVerdict> verdicts(jobs.size());
    EXPECT_TRUE(stream.Start(options));
    for (const CStreamJob& job : jobs)
        stream.Add(job);
    for (size_t i = 0; i < jobs.size(); ++i)
    {
        int nWaits = 0;
        while (!stream.WaitVerdict(i, 10, verdicts[i]) && ++nWaits < 6000)
            ;
        EXPECT_LT(nWaits, 6000);
    }
    return verdicts;
}
}

// With --backup every file is opened with backup semantics, which let the backup privilege pass its ACL, in both
// modes, also where a volume refuses an unbuffered read and the file is opened again through the cache; backup
// semantics also open folders, so a folder where a file was listed is never an empty file.
TEST(VerifyBackup, FilesAreOpenedWithBackupSemantics)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    s.Both(L"x", Pattern(5000, 1));
    s.Both(L"e", {});
    MakeDir(s.a + L"d");
    s.Both(L"u", Pattern(5000, 2));
    const std::wstring paths[][2] = {{s.a + L"x", s.b + L"x"}, {s.a + L"d", s.b + L"e"}, {s.a + L"u", s.b + L"u"}};
    std::vector<CStreamJob> jobs;
    for (const auto& pair : paths)
        jobs.push_back(CStreamJob{{pair[0].c_str(), pair[1].c_str()}});
    for (const bool bBackup : {false, true})
        for (const bool bFast : {false, true})
        {
            SCOPED_TRACE(::testing::Message() << "backup " << bBackup << ", fast " << bFast);
            CStreamOptions options;
            options.bBackup = bBackup;
            options.bFastMode = bFast;
            g_opens.clear();
            std::vector<CStreamVerdict> verdicts;
            FaultRules rules;
            if (bFast)
                rules.UnbufferedFail(s.a + L"u", 95);  // EOPNOTSUPP: ERROR_NOT_SUPPORTED
            {
                ImportPatch patch("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(RecordingCreateFile));
                ASSERT_TRUE(patch.Applied());
                verdicts = RunStream(jobs, options);
            }
            EXPECT_EQ(verdicts[0].result, CStreamVerdict::kSame);
            EXPECT_EQ(verdicts[1].result, CStreamVerdict::kCannotOpen);
            EXPECT_EQ(verdicts[2].result, CStreamVerdict::kSame);
            EXPECT_EQ(std::count_if(g_opens.begin(), g_opens.end(), [&](const auto& open) { return open.first == L"\\\\?\\" + s.a + L"u"; }),
                      bFast ? 2 : 1);
            int nOpens = 0;
            for (const auto& open : g_opens)
                for (const auto& pair : paths)
                    for (const std::wstring& path : pair)
                        if (open.first == L"\\\\?\\" + path)
                        {
                            ++nOpens;
                            EXPECT_EQ((open.second & FILE_FLAG_BACKUP_SEMANTICS) != 0, bBackup) << ::testing::PrintToString(path);
                        }
            EXPECT_GE(nOpens, 6);
        }
}

// The report's byte view comes from the slots the comparison read: 16 bytes before and after the first difference,
// also where it falls early in a slot (those before from the slot pair compared before); fewer only where a file or
// the slot that holds the difference ends (the next one is not read yet). Slots are 1 MiB in both modes here.
TEST(VerifyStream, TheBytesAroundAFirstDifferenceAreThoseTheComparisonRead)
{
    Sides s;
    const UINT64 n = 2 * MiB + 10;
    const std::vector<unsigned char> data = Pattern(static_cast<size_t>(n), 5);
    const struct
    {
        UINT64 at, start, count;
    } cases[] = {{7, 0, 24}, {MiB + 3, MiB - 13, 33}, {MiB, MiB - 16, 33}, {MiB - 5, MiB - 21, 21}, {n - 1, n - 17, 17}};
    std::vector<CStreamJob> jobs;
    for (const auto& c : cases)
    {
        const std::wstring name = Name(L"c", static_cast<int>(jobs.size()));
        s.Both(name, data);
        PokeByte(s.b + name, c.at, static_cast<unsigned char>(data[static_cast<size_t>(c.at)] ^ 0x40));
        jobs.push_back(CStreamJob{{s.a + name, s.b + name}});
    }
    for (const bool bFast : {true, false})
    {
        CStreamOptions options;
        options.bFastMode = bFast;
        const std::vector<CStreamVerdict> verdicts = RunStream(jobs, options);
        for (size_t i = 0; i < jobs.size(); ++i)
        {
            const auto& c = cases[i];
            const CStreamVerdict& v = verdicts[i];
            SCOPED_TRACE(::testing::Message() << "fast " << bFast << ", at " << c.at);
            ASSERT_EQ(v.result, CStreamVerdict::kDiffers);
            EXPECT_EQ(v.nFirstDifference, c.at);
            EXPECT_EQ(v.window.nStart, c.start);
            std::vector<unsigned char> expected(data.begin() + static_cast<ptrdiff_t>(c.start),
                                                data.begin() + static_cast<ptrdiff_t>(c.start + c.count));
            for (int side = 0; side < 2; ++side)
            {
                EXPECT_EQ(std::vector<unsigned char>(v.window.bytes[side], v.window.bytes[side] + v.window.nBytes[side]), expected);
                expected[static_cast<size_t>(c.at - c.start)] ^= 0x40;
            }
        }
    }
}

// Without the privilege (Wine grants every privilege to everyone: the seam refuses it as Windows refuses a user
// who is not elevated) the run ends before anything is listed, with an error that says what to do.
TEST(VerifyBackup, WithoutThePrivilegeNothingIsListed)
{
    Sides s;
    s.Both(L"x", Pattern(10, 1));
    const Result granted = RunVerify(s.Args({L"--backup"}));
    EXPECT_EQ(granted.exitCode, 0u) << granted.err;
    ExpectRows(granted, "tsv", {{L"same", L"x", L"10", L"10", L"fast", L""}});
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TAVIK_SEAM_NO_BACKUP_PRIVILEGE", L"1"));
    const Result refused = RunSeam(s.Args({L"--backup"}));
    const Result without = RunSeam(s.Args());
    ::SetEnvironmentVariableW(L"TAVIK_SEAM_NO_BACKUP_PRIVILEGE", nullptr);
    EXPECT_EQ(refused.exitCode, 2u);
    EXPECT_TRUE(refused.out.empty()) << refused.out;
    EXPECT_EQ(refused.Err(), Text(IDS_CLI_NO_BACKUP_PRIVILEGE) + L"\n");
    EXPECT_EQ(without.exitCode, 0u);
}

// The walk holds the folders listed ahead of the rows written, not the tree: on a tree of 300 folders of 10 pairs,
// while the first row waits, the rows listed and held at once stay near the window of folders (64 of 10 rows), far
// below the 3,000 names.
// An audit covers the manifest's whole tree with or without -r.
TEST(VerifyStream, TheWalkHoldsTheFoldersInFlightNotTheTree)
{
    Sides s;
    for (int d = 0; d < 300; ++d)
    {
        MakeDir(s.a + Name(L"d", d));
        MakeDir(s.b + Name(L"d", d));
        for (int f = 0; f < 10; ++f)
            s.Both(Name(L"d", d) + L"\\" + Name(L"f", f), Pattern(100, static_cast<unsigned>(d * 10 + f)));
    }
    TempDir dir;
    const std::wstring manifest = dir / L"sums.sha256";
    // The first file's read waits a few seconds, as on a sleeping disk: the listers would list the whole tree
    // meanwhile, were they not held to their window.
    ASSERT_TRUE(FaultRules::Available());
    auto rules = std::make_unique<FaultRules>();
    rules->Stall(s.a + Name(L"d", 0) + L"\\" + Name(L"f", 0), 3);
    const Result r = RunSeam(s.Args({L"-r", L"--manifest", manifest}));
    rules.reset();
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(ParseTsv(r.out).size(), 3000u);
    const std::wstring err = r.Err();
    const size_t at = err.find(L"held: ");
    ASSERT_NE(at, std::wstring::npos) << r.err;
    const unsigned long nHeld = wcstoul(err.c_str() + at + 6, nullptr, 10);
    EXPECT_GT(nHeld, 0u);
    EXPECT_LE(nHeld, 1000u) << "rows listed and held at once, of 3000";

    const Result audit = RunVerify({L"--check", manifest, s.b});
    EXPECT_EQ(audit.exitCode, 0u) << audit.err;
    const auto rows = ParseTsv(audit.out);
    EXPECT_EQ(rows.size(), 3000u);
    for (const auto& row : rows)
        EXPECT_EQ(row.second.verdict, L"same") << ::testing::PrintToString(row.first);
}
