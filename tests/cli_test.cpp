// tavik-verify.exe run as a child process on real folders: its rows in both formats, exit statuses, Ctrl+Break.
#include "CliHarness.h"
#include "CompareEngine.h"
#include "RowWriter.h"
#include "String.h"
#include "TestSupport.h"
#include "resource.h"
#include <gtest/gtest.h>
#include <functional>
#include <sstream>

namespace
{
const UINT64 MiB = 0x100000;

// The folder the test's set-up made from Linux, with what Win32 cannot make: odd names, links, a large tree.
std::wstring OddNamesFolder()
{
    return FolderFromEnvironment("TAVIK_CLI_ODD_NAMES");
}

void SetAttributes(const std::wstring& path, DWORD dw)
{
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), dw));
    ASSERT_EQ(::GetFileAttributesW(path.c_str()) & dw, dw);
}
}

TEST(CliVerdicts, EveryPairVerdictInBothFormats)
{
    Sides s;
    s.Both(L"a-same.txt", Pattern(1000, 1));
    s.Both(L"b-differs.bin", Pattern(3 * MiB + 5, 2));
    PokeByte(s.b + L"b-differs.bin", 12345, 0);
    WriteBytes(s.a + L"c-size.bin", Pattern(10, 3));
    WriteBytes(s.b + L"c-size.bin", Pattern(11, 3));
    WriteText(s.a + L"d-only1.txt", "1");
    WriteText(s.b + L"e-only2.txt", "22");
    // Hidden files and system files are names of the run; subfolders are not, without -r.
    WriteText(s.a + L"h-hidden.txt", "x");
    WriteText(s.b + L"h-hidden.txt", "y");
    SetAttributes(s.a + L"h-hidden.txt", FILE_ATTRIBUTE_HIDDEN);
    SetAttributes(s.b + L"h-hidden.txt", FILE_ATTRIBUTE_HIDDEN);
    WriteText(s.a + L"i-system.txt", "x");
    SetAttributes(s.a + L"i-system.txt", FILE_ATTRIBUTE_SYSTEM);
    MakeDir(s.a + L"j-folder");
    WriteText(s.a + L"j-folder\\inner.txt", "x");

    const std::vector<Row> expected = {
        {L"same", L"a-same.txt", L"1000", L"1000", L"fast", L""},
        {L"differs", L"b-differs.bin", N(3 * MiB + 5), N(3 * MiB + 5), L"fast", L"12345"},
        {L"size", L"c-size.bin", L"10", L"11", L"", L""},
        {L"only1", L"d-only1.txt", L"1", L"", L"", L""},
        {L"only2", L"e-only2.txt", L"", L"2", L"", L""},
        {L"differs", L"h-hidden.txt", L"1", L"1", L"fast", L"0"},
        {L"only1", L"i-system.txt", L"1", L"", L"", L""},
    };
    for (const char* format : kFormats)
    {
        SCOPED_TRACE(format);
        const Result r = RunVerify(With(s.Args(), format));
        ExpectRows(r, format, expected);
        EXPECT_EQ(r.exitCode, 1u);
        // The summary counts by the dialog's own texts.
        EXPECT_NE(r.Err().find(Text(IDS_RUN_COMPLETE)), std::wstring::npos);
        EXPECT_NE(r.Err().find(Text(IDS_CONTENT_DIFFERS) + L" 2"), std::wstring::npos);
    }
}

TEST(CliExitStatus, SameIsZeroEachKindOfDifferenceIsOne)
{
    {
        Sides s;
        s.Both(L"one", Pattern(5000, 1));
        s.Both(L"empty", {});
        const Result r = RunVerify(s.Args());
        EXPECT_EQ(r.exitCode, 0u);
        ExpectRows(r, "tsv", (std::vector<Row>{{L"same", L"empty", L"0", L"0", L"fast", L""},
                                                     {L"same", L"one", L"5000", L"5000", L"fast", L""}}));
    }
    {
        Sides s;
        EXPECT_EQ(RunVerify(s.Args()).exitCode, 0u) << "two empty folders hold the same files";
    }
    const std::function<void(Sides&)> kinds[] = {
        [](Sides& s) { s.Both(L"x", Pattern(10, 1)); PokeByte(s.b + L"x", 9, 0); },
        [](Sides& s) { WriteText(s.a + L"x", "ab"); WriteText(s.b + L"x", "abc"); },
        [](Sides& s) { WriteText(s.a + L"x", "ab"); },
        [](Sides& s) { WriteText(s.b + L"x", "ab"); },
    };
    for (const auto& make : kinds)
    {
        Sides s;
        s.Both(L"same", Pattern(10, 2));
        make(s);
        EXPECT_EQ(RunVerify(s.Args()).exitCode, 1u);
    }
}

TEST(CliExitStatus, BadUsageIsTwoWithTheUsageOnStandardError)
{
    Sides s;
    const std::vector<std::vector<std::wstring>> cases = {
        {}, {s.a}, {s.a, s.b, s.a}, {L"--bogus", s.a, s.b}, {L"--format", L"xml", s.a, s.b}, {s.a, s.b, L"--format"}};
    for (const auto& args : cases)
    {
        const Result r = RunVerify(args);
        EXPECT_EQ(r.exitCode, 2u) << args.size();
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(r.Err().find(Text(IDS_CLI_USAGE)), std::wstring::npos);
    }
    const Result help = RunVerify({L"--help"});
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_NE(FromUtf8(help.out).find(Text(IDS_CLI_USAGE)), std::wstring::npos);
}

TEST(CliListing, RecursiveTreesWithSubfoldersOnOneSide)
{
    Sides s;
    s.Both(L"top.txt", Pattern(10, 1));
    MakeDir(s.a + L"both");
    MakeDir(s.b + L"both");
    s.Both(L"both\\x.txt", Pattern(20, 2));
    MakeDir(s.a + L"sub");
    MakeDir(s.a + L"sub\\deeper");
    WriteText(s.a + L"sub\\a.txt", "a");
    WriteText(s.a + L"sub\\deeper\\b.txt", "bb");
    MakeDir(s.b + L"only2dir");
    WriteText(s.b + L"only2dir\\y.txt", "yyy");
    MakeDir(s.a + L"hid");
    WriteText(s.a + L"hid\\z.txt", "z");
    SetAttributes(s.a + L"hid", FILE_ATTRIBUTE_HIDDEN);
    // A folder on one side has a row of its own, and so do its files; hidden folders are entered.
    const std::vector<Row> expected = {
        {L"same", L"both\\x.txt", L"20", L"20", L"fast", L""},
        {L"only1", L"hid\\", L"", L"", L"", L""},
        {L"only1", L"hid\\z.txt", L"1", L"", L"", L""},
        {L"only2", L"only2dir\\", L"", L"", L"", L""},
        {L"only2", L"only2dir\\y.txt", L"", L"3", L"", L""},
        {L"only1", L"sub\\", L"", L"", L"", L""},
        {L"only1", L"sub\\a.txt", L"1", L"", L"", L""},
        {L"only1", L"sub\\deeper\\", L"", L"", L"", L""},
        {L"only1", L"sub\\deeper\\b.txt", L"2", L"", L"", L""},
        {L"same", L"top.txt", L"10", L"10", L"fast", L""},
    };
    for (const char* format : kFormats)
    {
        SCOPED_TRACE(format);
        const Result r = RunVerify(With(s.Args({L"-r"}), format));
        ExpectRows(r, format, expected);
        EXPECT_EQ(r.exitCode, 1u);
    }
    const Result flat = RunVerify(s.Args());
    ExpectRows(flat, "tsv", (std::vector<Row>{{L"same", L"top.txt", L"10", L"10", L"fast", L""}}));
    EXPECT_EQ(flat.exitCode, 0u);
}

TEST(CliListing, AFolderThatCannotBeListedIsAnErrorNamingIt)
{
    Sides s;
    WriteText(s.a + L"f", "x");
    const std::wstring missing = s.dir / L"missing";
    const std::wstring cases[][2] = {{missing, s.b}, {s.a, missing}, {s.a + L"f", s.b}};
    for (const auto& c : cases)
    {
        const Result r = RunVerify({c[0], c[1]});
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_TRUE(r.out.empty()) << "no rows, not even a header";
        const std::wstring bad = c[0] == s.a ? c[1] : c[0];
        EXPECT_NE(r.Err().find(bad), std::wstring::npos);
        EXPECT_NE(r.Err().find(Text(IDS_CLI_CANNOT_LIST).substr(0, 8)), std::wstring::npos);
    }
    // An empty folder is listed: its files are simply missing.
    const Result r = RunVerify(s.Args());
    ExpectRows(r, "tsv", (std::vector<Row>{{L"only1", L"f", L"1", L"", L"", L""}}));
    EXPECT_EQ(r.exitCode, 1u);
}

TEST(CliListing, RelativePathsAndForwardSlashes)
{
    Sides s;
    s.Both(L"f.txt", Pattern(7, 1));
    const std::vector<Row> expected = {{L"same", L"f.txt", L"7", L"7", L"fast", L""}};
    Result r = RunVerify({L"a", L".\\b\\..\\b"}, s.dir.Path());
    ExpectRows(r, "tsv", expected);
    EXPECT_EQ(r.exitCode, 0u);
    std::wstring slashed = s.a;
    for (wchar_t& ch : slashed)
        ch = ch == L'\\' ? L'/' : ch;
    r = RunVerify({slashed, L"b/"}, s.dir.Path());
    ExpectRows(r, "tsv", expected);
    EXPECT_EQ(r.exitCode, 0u);
}

TEST(CliNames, TrailingDotsNonBmpAndCodeUnitOrder)
{
    Sides s;
    // "x." and "x" are two files; a path that lost its dot would compare x with x.
    for (const std::wstring& side : {s.a, s.b})
    {
        WriteBytes(L"\\\\?\\" + side + L"x.", Pattern(100, 1));
        WriteBytes(side + L"x", Pattern(100, 2));
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + side + L"d.").c_str(), nullptr));
        WriteBytes(L"\\\\?\\" + side + L"d.\\in.", Pattern(30, 3));
    }
    const std::wstring emoji = L"\U0001F600\u5199\u771F.txt";
    s.Both(emoji, Pattern(9, 4));
    WriteText(s.a + L"B", "1");
    WriteText(s.a + L"a", "1");
    WriteText(s.a + L"\u00E9", "1");
    const std::vector<Row> expected = {
        {L"only1", L"B", L"1", L"", L"", L""},
        {L"only1", L"a", L"1", L"", L"", L""},
        {L"same", L"d.\\in.", L"30", L"30", L"fast", L""},
        {L"same", L"x", L"100", L"100", L"fast", L""},
        {L"same", L"x.", L"100", L"100", L"fast", L""},
        {L"only1", L"\u00E9", L"1", L"", L"", L""},
        {L"same", emoji, L"9", L"9", L"fast", L""},
    };
    for (const char* format : kFormats)
    {
        SCOPED_TRACE(format);
        const Result r = RunVerify(With(s.Args({L"--recursive"}), format));
        ExpectRows(r, format, expected);
        // The name's own UTF-8 bytes, not a replacement or an escape.
        EXPECT_NE(r.out.find("\xF0\x9F\x98\x80\xE5\x86\x99\xE7\x9C\x9F.txt"), std::string::npos);
    }
    // Win32 would strip the dots from these names, so the temporary folder's removal cannot take them.
    for (const std::wstring& side : {s.a, s.b})
    {
        ::DeleteFileW((L"\\\\?\\" + side + L"x.").c_str());
        ::DeleteFileW((L"\\\\?\\" + side + L"d.\\in.").c_str());
        ::RemoveDirectoryW((L"\\\\?\\" + side + L"d.").c_str());
    }
}

TEST(CliNames, NamesNoPathCanCarryAreCannotOpenAndEscaped)
{
    // Win32 cannot create such names, even on Wine; the test's set-up made them from Linux (tests/CMakeLists.txt).
    const std::wstring dir = OddNamesFolder();
    // Controls are listed but cannot be opened. "d\f" (Y1 and Y2) would be the file f in folder d (X on both
    // sides) if joined into a path: it is never opened, nor is the folder "k\l" entered.
    const Row escaped = {L"cannot-open", L"esc\x1b[31m.txt", L"4", L"4", L"", L"name"};
    const Row lines = {L"cannot-open", L"new\nline.txt", L"1", L"1", L"", L"name"};
    const Row only2 = {L"cannot-open", L"only\\2", L"", L"3", L"", L"name"};
    const Row tab = {L"cannot-open", L"tab\tname.txt", L"2", L"2", L"", L"name"};
    const Row backslash = {L"cannot-open", L"d\\f", L"2", L"2", L"", L"name"};
    const struct
    {
        std::vector<std::wstring> options;
        std::vector<Row> rows;
    } cases[] = {
        {{}, {backslash, escaped, lines, only2, tab}},
        {{L"-r"}, {{L"same", L"d\\f", L"1", L"1", L"fast", L""}, backslash, escaped,
                   {L"cannot-open", L"k\\l\\", L"", L"", L"", L"name"}, lines, only2, tab}},
    };
    for (const auto& c : cases)
        for (const char* format : kFormats)
        {
            SCOPED_TRACE(format);
            std::vector<std::wstring> args = c.options;
            args.push_back(dir + L"\\1");
            args.push_back(dir + L"\\2");
            const Result r = RunVerify(With(args, format));
            ExpectRows(r, format, c.rows);
            EXPECT_EQ(r.exitCode, 2u);
        }
}

TEST(CliNames, TsvAndStandardErrorCarryNoRawControlCharacter)
{
    // Wine can make no name with a lone surrogate (its file names are UTF-8), so that part is the writer's alone.
    COutputStream none(STD_INPUT_HANDLE);
    const CRowWriter writer(CRowWriter::kTsv, none);
    const struct
    {
        std::wstring name, tsv;
    } names[] = {
        {L"a\x1b[2Jb", L"a\\u001b[2Jb"}, {L"del\x7f", L"del\\u007f"}, {L"c1\x9b", L"c1\\u009b"},
        {L"l\u2028p\u2029", L"l\\u2028p\\u2029"}, {L"lone\xD800x", L"lone\\ud800x"}, {L"\xDC00", L"\\udc00"},
        {L"pair\U0001F600", L"pair\U0001F600"}, {L"t\tb\\", L"t\\tb\\\\"},
    };
    for (const auto& c : names)
    {
        CVerifyRow row;
        row.pszVerdict = L"same";
        row.name = c.name;
        EXPECT_EQ(writer.FormatRow(row), L"same\t" + c.tsv + L"\t\t\t\t\t\t\n");
    }
    Sides s;
    const Result r = RunVerify({s.a, s.dir / L"no\x1b[2Jsuch"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
    EXPECT_NE(r.err.find("no\\u001b[2Jsuch"), std::string::npos);
}

TEST(CliRows, TimesAreUtcWithTheFractionTheVolumeKeeps)
{
    SYSTEMTIME st{2026, 12, 0, 11, 3, 4, 5, 0};
    FILETIME ft;
    ASSERT_TRUE(::SystemTimeToFileTime(&st, &ft));
    const UINT64 n = static_cast<UINT64>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    const struct
    {
        UINT64 nTicks;
        const wchar_t* pszText;
    } times[] = {{n, L"2026-12-11T03:04:05Z"}, {n + 5000000, L"2026-12-11T03:04:05.5Z"},
                 {n + 1, L"2026-12-11T03:04:05.0000001Z"}, {n + 1230000, L"2026-12-11T03:04:05.123Z"},
                 {n + 9999999, L"2026-12-11T03:04:05.9999999Z"}, {0, L"1601-01-01T00:00:00Z"}};
    for (const auto& t : times)
    {
        EXPECT_EQ(IsoTime(t.nTicks), t.pszText);
        EXPECT_TRUE(IsRowTime(t.pszText));
    }
    COutputStream out(STD_OUTPUT_HANDLE);
    CRowWriter writer(CRowWriter::kJsonl, out);
    CVerifyRow row;
    row.pszVerdict = L"only2";
    row.name = L"x";
    row.bHasTime[1] = true;
    row.nTime[1] = n;
    EXPECT_EQ(writer.FormatRow(row), L"{\"verdict\":\"only2\",\"name\":\"x\",\"size1\":null,\"size2\":null,\"mode\":null,"
                                     L"\"detail\":null,\"time1\":null,\"time2\":\"2026-12-11T03:04:05Z\"}\n");
}

TEST(CliNames, DeviceNamespaceFoldersAreTakenLiterallyBelow)
{
    Sides s;
    for (const std::wstring& side : {s.a, s.b})
        WriteBytes(side + L"x", Pattern(50, 1));
    WriteBytes(L"\\\\?\\" + s.a + L"x.", Pattern(50, 2));
    WriteBytes(L"\\\\?\\" + s.b + L"x.", Pattern(50, 3));
    // Typed with "..": normalised once, then exact.
    const Result r = RunVerify({L"\\\\.\\" + s.a, L"\\\\.\\" + s.b + L"..\\b"});
    ExpectRows(r, "tsv", {{L"same", L"x", L"50", L"50", L"fast", L""}, {L"differs", L"x.", L"50", L"50", L"fast", L"0"}});
    EXPECT_EQ(r.exitCode, 1u);
    for (const std::wstring& side : {s.a, s.b})
        ::DeleteFileW((L"\\\\?\\" + side + L"x.").c_str());
}

TEST(CliStopOnDiff, NamesAfterTheFirstDifferenceAreNotCompared)
{
    Sides s;
    s.Both(L"a", Pattern(100, 1));
    s.Both(L"b", Pattern(100, 2));
    PokeByte(s.b + L"b", 50, 0);
    s.Both(L"c", Pattern(100, 3));
    WriteText(s.a + L"d", "1");
    for (const char* format : kFormats)
    {
        SCOPED_TRACE(format);
        Result r = RunVerify(With(s.Args({L"--stop-on-diff"}), format));
        ExpectRows(r, format, (std::vector<Row>{{L"same", L"a", L"100", L"100", L"fast", L""},
                                                             {L"differs", L"b", L"100", L"100", L"fast", L"50"},
                                                             {L"not-compared", L"c", L"100", L"100", L"", L""},
                                                             {L"not-compared", L"d", L"1", L"", L"", L""}}));
        EXPECT_EQ(r.exitCode, 1u);
        EXPECT_NE(r.Err().find(Text(IDS_STOPPED_ON_DIFF)), std::wstring::npos);
    }
    const Result r = RunVerify(s.Args());
    ExpectRows(r, "tsv", {{L"same", L"a", L"100", L"100", L"fast", L""}, {L"differs", L"b", L"100", L"100", L"fast", L"50"},
                          {L"same", L"c", L"100", L"100", L"fast", L""}, {L"only1", L"d", L"1", L"", L"", L""}});
}

TEST(CliOffsets, FirstDifferingByteInBothModes)
{
    const UINT64 size = 3 * MiB + 5;
    // At 0, inside the first slot, on the first byte of the second slot, and in the very last byte.
    const UINT64 offsets[] = {0, 12345, MiB, size - 1};
    Sides s;
    for (int i = 0; i < 4; ++i)
    {
        const std::wstring name = L"off" + std::to_wstring(i);
        s.Both(name, Pattern(size, 7));
        PokeByte(s.b + name, offsets[i], static_cast<unsigned char>(Pattern(size, 7)[offsets[i]] ^ 0x40));
    }
    for (const wchar_t* mode : {L"fast", L"normal"})
    {
        const Result r = RunVerify(s.Args(std::wstring(mode) == L"fast" ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"--buffered"}));
        std::vector<Row> expected;
        for (int i = 0; i < 4; ++i)
            expected.push_back({L"differs", L"off" + std::to_wstring(i), N(size), N(size), mode, N(offsets[i])});
        ExpectRows(r, "tsv", expected);
        EXPECT_EQ(r.exitCode, 1u);
    }
}

TEST(CliBreak, CtrlBreakInALongPairInterruptsItAndKeepsEarlierRows)
{
    for (const char* format : kFormats)
    {
        SCOPED_TRACE(format);
        Sides s;
        s.Both(L"a.txt", Pattern(10, 1));
        // Holes read as zeros at memory speed, but 8 GiB still take seconds: the break lands inside the pair.
        MakeSparse(s.a + L"b-big.bin", 8192 * MiB);
        MakeSparse(s.b + L"b-big.bin", 8192 * MiB);
        s.Both(L"c.txt", Pattern(10, 2));
        WriteText(s.a + L"d.txt", "1");
        Child child(With(s.Args({L"--progress"}), format), std::wstring(), CREATE_NEW_PROCESS_GROUP);
        // The progress line names the pair being compared: then the engine is inside it.
        ASSERT_TRUE(child.Err().WaitFor([](const std::string& err) { return err.find("b-big.bin") != std::string::npos; }, 60000));
        SendCtrlBreak(child.Info());
        const Result r = child.Finish();
        EXPECT_EQ(r.exitCode, 3u);
        ExpectRows(r, format, (std::vector<Row>{{L"same", L"a.txt", L"10", L"10", L"fast", L""},
                                                             {L"interrupted", L"b-big.bin", N(8192 * MiB), N(8192 * MiB), L"fast", L""},
                                                             {L"not-compared", L"c.txt", L"10", L"10", L"", L""},
                                                             {L"not-compared", L"d.txt", L"1", L"", L"", L""}}));
        EXPECT_NE(r.Err().find(Text(IDS_RUN_ABORTED)), std::wstring::npos);
    }
}

TEST(CliBreak, ASecondBreakEndsAtOnceStillAsInterrupted)
{
    Sides s;
    s.Both(L"a.txt", Pattern(10, 1));
    MakeSparse(s.a + L"b-big.bin", 8192 * MiB);
    MakeSparse(s.b + L"b-big.bin", 8192 * MiB);
    Child child(s.Args({L"--progress"}), std::wstring(), CREATE_NEW_PROCESS_GROUP);
    ASSERT_TRUE(child.Err().WaitFor([](const std::string& err) { return err.find("b-big.bin") != std::string::npos; }, 60000));
    SendCtrlBreak(child.Info());
    SendCtrlBreak(child.Info());
    const Result r = child.Finish();
    // Whether the first break's orderly end or the second one came first, the status says interrupted.
    EXPECT_EQ(r.exitCode, 3u);
    const auto rows = ParseTsv(r.out);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].first, L"a.txt");
    EXPECT_EQ(rows[0].second.verdict, L"same");
}

TEST(CliProgress, OnlyWhenAskedWhileRedirectedAtMostTenRedrawsASecond)
{
    Sides s;
    // Long enough for dozens of engine notices; read through the cache, holes go at memory speed (on a busy
    // machine at 80 MB/s: seven seconds, and the bound is over twice twenty times that).
    MakeSparse(s.a + L"big", 256 * MiB);
    MakeSparse(s.b + L"big", 256 * MiB);
    const ULONGLONG t0 = ::GetTickCount64();
    const Result shown = Child(s.Args({L"--progress", L"--buffered"})).Finish(300000);
    const double seconds = static_cast<double>(::GetTickCount64() - t0) / 1000.0;
    EXPECT_EQ(shown.exitCode, 0u);
    const std::wstring err = shown.Err();
    size_t nRedraws = 0;
    for (size_t i = 0; (i = err.find(L'\r', i)) != std::wstring::npos; ++i)
        nRedraws += i + 1 < err.size() && err[i + 1] >= L'0' && err[i + 1] <= L'9';
    EXPECT_GE(nRedraws, 1u);
    EXPECT_LE(static_cast<double>(nRedraws), seconds * 10 + 1) << "in " << seconds << " s";
    EXPECT_NE(err.find(L"  big"), std::wstring::npos);
    EXPECT_NE(err.find(Text(IDS_CLI_SOURCE1)), std::wstring::npos);

    Sides small;
    small.Both(L"f", Pattern(3 * MiB, 1));
    const Result quietByDefault = RunVerify(small.Args());
    EXPECT_EQ(quietByDefault.err.find('\r'), std::string::npos) << "no progress into a pipe unless asked";
    EXPECT_NE(quietByDefault.Err().find(Text(IDS_RUN_COMPLETE)), std::wstring::npos);
    EXPECT_TRUE(RunVerify(small.Args({L"-q"})).err.empty());
}

TEST(CliListing, WhatARecursiveRunListsAndSkips)
{
    Sides s;
    // A hidden folder is entered; an entry both hidden and system is not, unless --all.
    MakeDir(s.a + L"hid");
    MakeDir(s.b + L"hid");
    WriteText(s.a + L"hid\\f", "1");
    WriteText(s.b + L"hid\\f", "2");
    SetAttributes(s.a + L"hid", FILE_ATTRIBUTE_HIDDEN);
    SetAttributes(s.b + L"hid", FILE_ATTRIBUTE_HIDDEN);
    WriteText(s.a + L"hs.txt", "1");
    WriteText(s.b + L"hs.txt", "2");
    SetAttributes(s.a + L"hs.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    SetAttributes(s.b + L"hs.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    MakeDir(s.a + L"empty");
    // Online-only (the seam's names: offline, recall on data access); the second one is held, so a row other than
    // cannot-open shows it was not opened.
    WriteText(s.a + L"attr+1000-a", "1");
    WriteText(s.b + L"attr+1000-a", "2");
    s.Both(L"attr+400000-b", Pattern(5, 1));
    ExclusiveHold holdFile(s.b + L"attr+400000-b");
    s.Both(L"z", Pattern(7, 1));

    const Row empty = {L"only1", L"empty\\", L"", L"", L"", L""}, hid = {L"differs", L"hid\\f", L"1", L"1", L"fast", L"0"},
              z = {L"same", L"z", L"7", L"7", L"fast", L""};
    const struct
    {
        std::vector<std::wstring> options;
        std::vector<Row> rows;
        const wchar_t* pszSkipped;  // the summary's count of skipped entries, or null for none
        DWORD status;
    } cases[] = {
        {{L"-r"},
         {{L"skipped", L"attr+1000-a", L"1", L"1", L"", L"offline"}, {L"skipped", L"attr+400000-b", L"5", L"5", L"", L"offline"},
          empty, hid, z},
         L"4", 1},
        {{L"-r", L"--all", L"--recall"},
         {{L"differs", L"attr+1000-a", L"1", L"1", L"fast", L"0"}, {L"cannot-open", L"attr+400000-b", L"5", L"5", L"", L"in-use"},
          empty, hid, {L"differs", L"hs.txt", L"1", L"1", L"fast", L"0"}, z},
         nullptr, 2},
    };
    for (const auto& c : cases)
        for (const char* format : kFormats)
        {
            SCOPED_TRACE(format);
            const Result r = RunSeam(With(s.Args(c.options), format));
            ExpectRows(r, format, c.rows);
            EXPECT_EQ(r.exitCode, c.status);
            const std::wstring skipped = c.pszSkipped ? L"\u30b9\u30ad\u30c3\u30d7 " + std::wstring(c.pszSkipped) + L" " : L"\u30b9\u30ad\u30c3\u30d7";
            EXPECT_EQ(r.Err().find(skipped) != std::wstring::npos, c.pszSkipped != nullptr) << r.Err();
        }
}

// A run whose files were all skipped as online-only read nothing: that is trouble with a word, not a silent 0.
TEST(CliListing, ARunThatSkippedEveryFileAsOnlineOnlyIsTrouble)
{
    Sides s;
    s.Both(L"attr+1000-a", Pattern(5, 1));
    MakeDir(s.a + L"d");
    MakeDir(s.b + L"d");
    s.Both(L"d\\attr+400000-b", Pattern(5, 2));
    const struct
    {
        std::vector<std::wstring> options;
        DWORD status;
    } cases[] = {{{L"-r"}, 2}, {{L"-r", L"--recall"}, 0}};
    for (const auto& c : cases)
    {
        const Result r = RunSeam(s.Args(c.options));
        EXPECT_EQ(r.exitCode, c.status) << r.err;
        EXPECT_EQ(r.Err().find(Text(IDS_CLI_NOTHING_COMPARED)) != std::wstring::npos, c.status == 2) << r.err;
        EXPECT_EQ(ParseTsv(r.out).size(), 2u);
    }
}

TEST(CliListing, LinksAndLoopsAreNotEntered)
{
    // Made from Linux (tests/CMakeLists.txt): "lnk" links to "target", whose f differs between the sides, and
    // "target\\attr-400-up" links to "target" itself and "target\\sub\\attr-400-back" to it from two levels down; Wine
    // shows Unix symlinks as reparse points, and the seam shows those as plain folders, as a NAS shows a link of its own.
    const std::wstring dir = OddNamesFolder() + L"\\links\\";
    const Result r = RunSeam({L"-r", dir + L"1", dir + L"2"});
    ExpectRows(r, "tsv", {{L"skipped", L"lnk\\", L"", L"", L"", L"link"},
                          {L"skipped", L"target\\attr-400-up\\", L"", L"", L"", L"loop"},
                          {L"differs", L"target\\f", L"1", L"1", L"fast", L"0"},
                          {L"skipped", L"target\\sub\\attr-400-back\\", L"", L"", L"", L"loop"}});
    EXPECT_EQ(r.exitCode, 1u);
}

// An end the run did not choose is trouble with a message, and leaves no temporary manifest or report behind.
TEST(CliExitStatus, AnUnexpectedEndIsTroubleWithAMessage)
{
    for (const wchar_t* name : {L"end-throw", L"end-terminate", L"end-crash"})
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        Sides s;
        WriteText(s.a + name, "x");
        const std::wstring out = s.dir / L"out\\";
        MakeDir(out);
        const Result r = RunSeam(s.Args({L"--manifest", out + L"sums", L"--report", out + L"page.html"}));
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_NE(r.Err().find(Text(IDS_CLI_UNEXPECTED).substr(0, 8)), std::wstring::npos);
        WIN32_FIND_DATAW fd;
        HANDLE hFind = ::FindFirstFileW((out + L"*.tmp").c_str(), &fd);
        EXPECT_EQ(hFind, INVALID_HANDLE_VALUE) << testing::PrintToString(std::wstring(fd.cFileName));
        if (hFind != INVALID_HANDLE_VALUE)
            ::FindClose(hFind);
    }
}

TEST(CliBreak, CtrlBreakWhileListingEndsTheRunAtOnce)
{
    const std::wstring tree = OddNamesFolder() + L"\\tree";
    Child child({L"-r", L"--progress", tree, tree}, std::wstring(), CREATE_NEW_PROCESS_GROUP);
    // The listing's progress line: the walk is under way.
    const std::string listing = [] {
        const std::wstring w = Text(IDS_CLI_LISTING).substr(0, 5);
        std::string u(w.size() * 3, '\0');
        u.resize(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &u[0], static_cast<int>(u.size()), nullptr, nullptr)));
        return u;
    }();
    ASSERT_TRUE(child.Err().WaitFor([&](const std::string& err) { return err.find(listing) != std::string::npos; }, 60000));
    SendCtrlBreak(child.Info());
    const ULONGLONG t0 = ::GetTickCount64();
    EXPECT_EQ(::WaitForSingleObject(child.Info().hProcess, 30000), WAIT_OBJECT_0);
    const ULONGLONG ms = ::GetTickCount64() - t0;
    const Result r = child.Finish();
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_LE(ms, 200u);
    EXPECT_NE(r.Err().find(Text(IDS_RUN_ABORTED)), std::wstring::npos);
    // Rows come while the tree is still listed: those written are the first names of a whole run, in its order,
    // and nothing not yet listed gets a row.
    const auto rows = ParseTsv(r.out);
    const auto all = ParseTsv(RunVerify({L"-r", tree, tree}).out);
    ASSERT_LE(rows.size(), all.size());
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].first, all[i].first);
}

// Rows in tree order: each folder's names in order, a subfolder's rows where its name stands ("a\" before "a-b",
// though "a-b" comes first as a path, '-' being below '\\').
TEST(CliListing, RowsInTreeOrderWhereThePathOrderDiffers)
{
    Sides s;
    for (const wchar_t* name : {L"a-b", L"a\\x", L"a\\y\\z", L"a0", L"b"})
    {
        const std::wstring path = name;
        if (path.find(L'\\') != std::wstring::npos)
        {
            MakeDir(s.a + path.substr(0, path.find(L'\\')));
            MakeDir(s.b + path.substr(0, path.find(L'\\')));
        }
        if (path.rfind(L'\\') != path.find(L'\\'))
        {
            MakeDir(s.a + path.substr(0, path.rfind(L'\\')));
            MakeDir(s.b + path.substr(0, path.rfind(L'\\')));
        }
        s.Both(path, Pattern(10, 1));
    }
    // A file comes before a folder of the same name: in the rows, and in an audit against a manifest of the file.
    WriteText(s.a + L"c", "1");
    MakeDir(s.b + L"c");
    WriteText(s.b + L"c\\d", "2");
    const std::wstring manifest = s.dir / L"sums.sha256";
    auto names = [](const Result& r) {
        std::vector<std::wstring> listed;
        for (const auto& row : ParseTsv(r.out))
            listed.push_back(row.first);
        return listed;
    };
    EXPECT_EQ(names(RunVerify(s.Args({L"-r", L"--manifest", manifest}))),
              (std::vector<std::wstring>{L"a\\x", L"a\\y\\z", L"a-b", L"a0", L"b", L"c", L"c\\", L"c\\d"}));
    EXPECT_EQ(names(RunVerify({L"--check", manifest, s.b})),
              (std::vector<std::wstring>{L"a\\x", L"a\\y\\z", L"a-b", L"a0", L"b", L"c", L"c\\d"}));
}


// A wrong verdict or offset anywhere in the stream's hand-offs (a slot taken twice or skipped, a pair's slots
// mixed with the next pair's, a length mismatch missed at a slot boundary) shows against the dialog's engine.
TEST(CliStream, EveryVerdictAndOffsetAgreesWithTheDialogsEnginePairByPair)
{
    ASSERT_TRUE(FaultRules::Available());
    const UINT64 S = MiB;  // one slot
    Sides s;
    std::vector<std::wstring> names, aligned;
    unsigned seed = 1;
    for (const UINT64 size : {UINT64{0}, UINT64{1}, UINT64{17}, S - 1, S, S + 1, 2 * S + 3})
    {
        // Equal; differing at the first byte, the last byte of the first slot, the first of the second, the last
        // byte; one side a byte shorter.
        for (const UINT64 at : {~0ULL, UINT64{0}, S - 1, S, size - 1, ~1ULL})
        {
            if (at < ~1ULL && at >= size)
                continue;
            ++seed;
            const std::wstring name = std::wstring(seed % 3 ? L"" : L"sub" + std::to_wstring(seed % 2) + L"\\") +
                                      std::to_wstring(seed * 7919 % 1000) + L"-" + std::to_wstring(size);
            MakeDir(s.a + L"sub0");
            MakeDir(s.a + L"sub1");
            MakeDir(s.b + L"sub0");
            MakeDir(s.b + L"sub1");
            std::vector<unsigned char> data = Pattern(size, seed);
            WriteBytes(s.a + name, data);
            if (at == ~1ULL && size > 0)
                data.pop_back();
            else if (at < size)
                data[at] ^= 0x5A;
            WriteBytes(s.b + name, data);
            aligned.push_back(s.a + name);
            aligned.push_back(s.b + name);
            names.push_back(name);
        }
    }
    std::vector<std::wstring> order;  // the rows' names at depth 1: every depth keeps the list's order
    for (const wchar_t* pszDepth : {L"1", L"2", L"8"})
    for (const bool bFast : {true, false})
    {
        SCOPED_TRACE(::testing::Message() << (bFast ? "fast" : "buffered") << ", depth " << ::testing::PrintToString(pszDepth));
        // Unbuffered reads refused unless aligned, as Windows does: the stream's own must pass, also the last
        // request of a file, which asks only for what is left.
        FaultRules rules;
        for (const std::wstring& file : aligned)
            if (bFast)
                rules.Align(file, 512);
        std::vector<std::wstring> args{L"-r", L"--depth", pszDepth};
        if (!bFast)
            args.push_back(L"--buffered");
        const Result r = RunVerify(s.Args(args));
        const auto rows = ParseTsv(r.out);
        ASSERT_EQ(rows.size(), names.size());
        std::vector<std::wstring> rowNames;
        for (const auto& row : rows)
            rowNames.push_back(row.first);
        if (order.empty())
            order = rowNames;
        EXPECT_EQ(rowNames, order);
        CCompareEngine engine;
        NotifySink sink;
        engine.m_hNotifyWnd = sink.Hwnd();
        for (const auto& [name, row] : rows)
        {
            SCOPED_TRACE(::testing::PrintToString(name));
            ParsedRow expected{L"", row.size1, row.size2, bFast ? L"fast" : L"normal", L"", row.time1, row.time2};
            sink.Clear();
            const int nStart = engine.Start((s.a + name).c_str(), (s.b + name).c_str(), bFast);
            if (nStart == IDS_SIZE_DIFFERS)
            {
                expected.verdict = L"size";
                expected.mode.clear();
            }
            else
            {
                ASSERT_EQ(nStart, IDS_STARTED);
                ASSERT_TRUE(sink.WaitCompletions(1));
                engine.WaitFinished();
                const LPARAM code = sink.Completions()[0];
                expected.verdict = code == IDS_SAME ? L"same" : code == IDS_INTERRUPTED ? L"read-error" : L"differs";
                if (code == IDS_CONTENT_DIFFERS || code == IDS_LENGTH_DIFFERS)
                    expected.detail = N(engine.GetFirstDifference());
            }
            EXPECT_EQ(row.verdict, expected.verdict);
            EXPECT_EQ(row.mode, expected.mode);
            EXPECT_EQ(row.detail, expected.detail);
        }
    }
}

// Opening: a reader beside the check is fine, a writer is not; one file on both sides is compared and named; the
// sizes are the open files', also where the files changed after they were listed.
TEST(CliStream, OpeningRulesSameFileAndSizesFromTheOpenFiles)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    s.Both(L"a-big.bin", Pattern(3 * MiB, 7));
    s.Both(L"b-read-held", Pattern(100, 1));
    s.Both(L"c-write-held", Pattern(100, 2));
    WriteBytes(s.a + L"d-linked", Pattern(5000, 3));
    ASSERT_TRUE(::CreateHardLinkW((s.b + L"d-linked").c_str(), (s.a + L"d-linked").c_str(), nullptr));
    s.Both(L"e-shrinks", Pattern(3000, 4));
    s.Both(L"f-vanishes", Pattern(10, 5));
    s.Both(L"g-denied", Pattern(10, 6));
    HANDLE hReader = ::CreateFileW((s.b + L"b-read-held").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE hWriter = ::CreateFileW((s.b + L"c-write-held").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hReader, INVALID_HANDLE_VALUE);
    ASSERT_NE(hWriter, INVALID_HANDLE_VALUE);

    // While the first pair's second slot is held on both sides, the later files change behind the listing: one
    // file in flight per side, so they are opened after the change.
    auto hold = std::make_unique<FaultRules>();
    hold->Hold(s.a + L"a-big.bin", MiB);
    hold->Hold(s.b + L"a-big.bin", MiB);
    Child child(s.Args({L"--progress", L"--buffered", L"--depth", L"1"}));
    ASSERT_TRUE(child.Err().WaitFor([](const std::string& err) { return err.find("a-big.bin") != std::string::npos; }, 60000));
    WriteBytes(s.b + L"e-shrinks", Pattern(2000, 4));
    ASSERT_TRUE(::DeleteFileW((s.b + L"f-vanishes").c_str()));
    // A folder opened as a file is access denied, on Windows as on Wine, which keeps no ACLs to deny with.
    ASSERT_TRUE(::DeleteFileW((s.b + L"g-denied").c_str()));
    MakeDir(s.b + L"g-denied");
    hold.reset();
    const Result r = child.Finish();
    ::CloseHandle(hReader);
    ::CloseHandle(hWriter);
    ExpectRows(r, "tsv", {{L"same", L"a-big.bin", N(3 * MiB), N(3 * MiB), L"normal", L""},
                          {L"same", L"b-read-held", L"100", L"100", L"normal", L""},
                          {L"cannot-open", L"c-write-held", L"100", L"100", L"", L"in-use"},
                          {L"same", L"d-linked", L"5000", L"5000", L"normal", L"same-file"},
                          {L"size", L"e-shrinks", L"3000", L"2000", L"", L""},
                          {L"cannot-open", L"f-vanishes", L"10", L"10", L"", L"error-2"},
                          {L"cannot-open", L"g-denied", L"10", L"10", L"", L"denied"}});
    EXPECT_EQ(r.exitCode, 2u);

    // Both files end alike before the size they had when opened: fewer bytes than the size were compared.
    ASSERT_TRUE(FaultRules::Available());
    Sides u;
    u.Both(L"shrinks", Pattern(3 * MiB, 6));
    FaultRules rules;
    rules.Resize(u.a + L"shrinks", MiB, MiB + 100);
    rules.Resize(u.b + L"shrinks", MiB, MiB + 100);
    ExpectRows(RunVerify(u.Args()), "tsv", {{L"differs", L"shrinks", N(3 * MiB), N(3 * MiB), L"fast", N(MiB + 100)}});

    // A folder compared with itself: every file is the same file.
    Sides t;
    t.Both(L"x", Pattern(10, 1));
    t.Both(L"y", Pattern(0, 1));
    ExpectRows(RunVerify({L"--format", L"jsonl", t.a, t.a}), "jsonl",
               {{L"same", L"x", L"10", L"10", L"fast", L"same-file"}, {L"same", L"y", L"0", L"0", L"fast", L"same-file"}});
}

// Ctrl+Break between small pairs and inside a read that does not return; --stop-on-diff inside a stream.
TEST(CliStream, BreaksAndStopsInAStreamOfSmallPairs)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    const int nFiles = 400;
    for (int i = 0; i < nFiles; ++i)
        s.Both(L"f" + std::to_wstring(1000 + i), Pattern(4000 + i, i));
    PokeByte(s.b + L"f1200", 3999, 0);
    // A read of this file blocks far longer than any wait below: only a cancelled or abandoned read lets go.
    s.Both(L"f1300", Pattern(10, 1));
    FaultRules rules;
    rules.Stall(s.b + L"f1300", 120);

    const Result stopped = RunVerify(s.Args({L"--stop-on-diff"}));
    EXPECT_EQ(stopped.exitCode, 1u);
    const auto stoppedRows = ParseTsv(stopped.out);
    ASSERT_EQ(stoppedRows.size(), static_cast<size_t>(nFiles));
    for (int i = 0; i < nFiles; ++i)
        EXPECT_EQ(stoppedRows[i].second.verdict, i < 200 ? L"same" : i == 200 ? L"differs" : L"not-compared") << i;

    const ULONGLONG t0 = ::GetTickCount64();
    const Result broken = BreakWhileComparing(s, L"f1300");
    EXPECT_LT(::GetTickCount64() - t0, 30000u) << "the stalled read held the program";
    EXPECT_EQ(broken.exitCode, 3u);
    const auto rows = ParseTsv(broken.out);
    ASSERT_EQ(rows.size(), static_cast<size_t>(nFiles));
    for (int i = 0; i < nFiles; ++i)
        EXPECT_EQ(rows[i].second.verdict, i < 300 ? (i == 200 ? L"differs" : L"same") : i == 300 ? L"interrupted" : L"not-compared") << i;
    EXPECT_NE(broken.Err().find(Text(IDS_RUN_ABORTED)), std::wstring::npos);
}
