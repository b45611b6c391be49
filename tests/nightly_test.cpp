// A nightly check as a backup job meets it: names left out as the job left them out, the times on every row,
// damage told from change, and why a file could not be opened.
#include "CliHarness.h"
#include "PathFilter.h"
#include "resource.h"
#include <gtest/gtest.h>

namespace
{
// A message of the table with its argument put in, as the program's LoadText does.
std::wstring Filled(UINT nID, const std::wstring& arg = std::wstring())
{
    std::wstring text = Text(nID);
    const size_t nAt = text.find(L"%1");
    return nAt == std::wstring::npos ? text : text.replace(nAt, 2, arg);
}

std::string Utf8(const std::wstring& text)
{
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                                                           static_cast<int>(bytes.size()), nullptr, nullptr)));
    return bytes;
}

void WriteRaw(const std::wstring& path, const std::string& bytes)
{
    WriteBytes(path, std::vector<unsigned char>(bytes.begin(), bytes.end()));
}

std::string ReadRaw(const std::wstring& path)
{
    std::string bytes;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return bytes;
    char buf[4096];
    DWORD n = 0;
    while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n)
        bytes.append(buf, n);
    ::CloseHandle(h);
    return bytes;
}

void SetWriteTime(const std::wstring& path, UINT64 nTicks)
{
    HANDLE h = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const FILETIME ft{static_cast<DWORD>(nTicks), static_cast<DWORD>(nTicks >> 32)};
    EXPECT_TRUE(::SetFileTime(h, nullptr, nullptr, &ft));
    ::CloseHandle(h);
}

std::vector<std::pair<std::wstring, std::wstring>> Verdicts(const Result& r)
{
    std::vector<std::pair<std::wstring, std::wstring>> rows;
    for (const auto& row : ParseTsv(r.out))
        rows.push_back({row.first, row.second.verdict});
    return rows;
}
}

TEST(PathFilter, PatternRules)
{
    const struct
    {
        const wchar_t* pszPattern;
        const wchar_t* pszName;  // as the walk asks: a folder's ends with a backslash
        bool bExcluded;
    } cases[] = {
        // No separator: a name at any depth, files and folders alike; without case.
        {L"*.tmp", L"a.tmp", true}, {L"*.tmp", L"d\\e\\A.TMP", true}, {L"*.tmp", L"x.tmp\\", true},
        {L"*.tmp", L"a.tmpx", false}, {L"*.tmp", L"a.tmp\\b", false}, {L"Thumbs.db", L"x\\THUMBS.DB", true},
        {L"\u00e4*", L"\u00c4x", true}, {L"a*b*c", L"axxbyyc", true}, {L"a*b*c", L"axxbyy", false},
        {L"?.txt", L"a.txt", true}, {L"?.txt", L"ab.txt", false}, {L"?.txt", L"\U0001F600.txt", true},
        // A trailing separator: folders only.
        {L"node_modules\\", L"p\\node_modules\\", true}, {L"node_modules/", L"p\\node_modules", false},
        // A separator inside: the whole path from the folder given, either separator.
        {L"docs\\keep\\*.log", L"docs\\keep\\a.log", true}, {L"docs/keep/*.log", L"x\\docs\\keep\\a.log", false},
        {L"docs\\keep\\*.log", L"docs\\keep\\sub\\a.log", false}, {L"AppData\\Local\\Temp\\", L"appdata\\local\\temp\\", true},
        {L"AppData/Local/Temp/", L"AppData\\Local\\Temp", false}, {L"\\top.txt", L"top.txt", true},
        {L"/top.txt", L"d\\top.txt", false},
        // "**": any number of folders, none too.
        {L"src\\**\\*.o", L"src\\a.o", true}, {L"src/**/*.o", L"src\\x\\y\\a.o", true}, {L"src\\**\\*.o", L"lib\\src\\a.o", false},
        {L"**\\bin\\", L"bin\\", true}, {L"**/bin/", L"a\\b\\bin\\", true}, {L"**\\bin\\", L"a\\bin", false},
    };
    for (const auto& c : cases)
    {
        CPathFilter filter;
        ASSERT_EQ(filter.Add(c.pszPattern), CPathFilter::kOk);
        EXPECT_EQ(filter.Excludes(c.pszName, wcslen(c.pszName)), c.bExcluded)
            << ::testing::PrintToString(std::wstring(c.pszPattern)) << " " << ::testing::PrintToString(std::wstring(c.pszName));
    }
    CPathFilter filter;
    EXPECT_EQ(filter.Add(L""), CPathFilter::kEmpty);
    EXPECT_EQ(filter.Add(L"\\"), CPathFilter::kSeparatorsOnly);
    EXPECT_EQ(filter.Add(L"/\\/"), CPathFilter::kSeparatorsOnly);
    EXPECT_TRUE(filter.IsEmpty());
}

// The file of patterns as Notepad, PowerShell and Unix editors write it; what it leaves out gets no row and is counted.
TEST(Exclusions, PatternsFileInEveryEncodingAndItsErrors)
{
    Sides s;
    for (const std::wstring& side : {s.a, s.b})
    {
        MakeDir(side + L"\u65e5\u672c");
        MakeDir(side + L"Cache");
    }
    for (const wchar_t* name : {L"keep.txt", L"a.tmp", L"Thumbs.db", L"\u65e5\u672c\\x.log", L"\u65e5\u672c\\x.txt", L"Cache\\c"})
        s.Both(name, Pattern(10, 1));
    WriteText(s.a + L"only.TMP", "1");
    PokeByte(s.b + L"a.tmp", 3, 0);
    const std::wstring lines[] = {L"# what the backup job leaves out", L"", L"*.TMP", L"thumbs.db", L"\u65e5\u672c/*.log  ", L"cache\\"};
    const struct
    {
        const char* pszName;
        bool bUtf16, bBom;
        const wchar_t* pszEnd;
    } encodings[] = {{"utf-8", false, false, L"\n"}, {"utf-8 bom crlf", false, true, L"\r\n"}, {"utf-16 crlf", true, true, L"\r\n"},
                     {"utf-16 lf", true, true, L"\n"}};
    const std::wstring file = s.dir / L"exclude.txt";
    for (const auto& e : encodings)
    {
        SCOPED_TRACE(e.pszName);
        std::wstring text;
        for (const std::wstring& line : lines)
            text += line + e.pszEnd;
        std::string bytes = e.bBom ? (e.bUtf16 ? "\xFF\xFE" : "\xEF\xBB\xBF") : "";
        if (e.bUtf16)
            bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
        else
            bytes += Utf8(text);
        WriteRaw(file, bytes);
        const Result r = RunVerify(s.Args({L"-r", L"--exclude-from", file}));
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        ExpectRows(r, "tsv", {{L"same", L"keep.txt", L"10", L"10", L"fast", L""}, {L"same", L"\u65e5\u672c\\x.txt", L"10", L"10", L"fast", L""}});
        // a.tmp, only.TMP, Thumbs.db, x.log and the folder Cache; a name on both sides once.
        EXPECT_NE(r.Err().find(Filled(IDS_CLI_EXCLUDED, L"5")), std::wstring::npos) << r.err;
    }

    // Before anything is listed: no rows, status 2, the message first.
    WriteRaw(s.dir / L"separators.txt", "ok\n\\/\n");
    WriteRaw(s.dir / L"latin1.txt", "caf\xE9\n");
    const struct
    {
        std::vector<std::wstring> options;
        std::wstring message;
    } errors[] = {
        {{L"--exclude", L""}, Filled(IDS_CLI_EXCLUDE_EMPTY)},
        {{L"--exclude", L"a", L"--exclude", L"\\/"}, Filled(IDS_CLI_EXCLUDE_SEPARATORS, L"\\/")},
        {{L"--exclude-from", s.dir / L"separators.txt"}, Filled(IDS_CLI_EXCLUDE_SEPARATORS, L"\\/")},
        {{L"--exclude-from", s.dir / L"none.txt"}, Filled(IDS_CLI_EXCLUDE_CANNOT_READ, s.dir / L"none.txt")},
        {{L"--exclude-from", s.dir / L"latin1.txt"}, Filled(IDS_CLI_EXCLUDE_CANNOT_READ, s.dir / L"latin1.txt")},
    };
    for (const auto& e : errors)
    {
        SCOPED_TRACE(::testing::PrintToString(e.options));
        const Result r = RunVerify(s.Args(e.options));
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.Err().find(e.message), 0u) << r.err;
    }
}

// A folder left out is never listed: a share that stops answering under it holds nothing up.
TEST(Exclusions, AnExcludedFolderIsNeverListed)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    for (const std::wstring& side : {s.a, s.b})
    {
        MakeDir(side + L"cache");
        MakeDir(side + L"keep");
    }
    s.Both(L"cache\\c", Pattern(10, 1));
    s.Both(L"keep\\k", Pattern(10, 2));
    WriteText(s.a + L"keep\\cache", "a file of that name is no folder");
    FaultRules rules;
    rules.OpenHold(s.a + L"cache");
    rules.OpenHold(s.b + L"cache");
    const std::wstring page = s.dir / L"r.html";
    const Result r = Child(s.Args({L"-r", L"--exclude", L"CACHE/", L"--exclude", L"*.bak", L"--report", page})).Finish(60000);
    EXPECT_EQ(r.exitCode, 1u) << r.err;
    EXPECT_EQ(Verdicts(r), (std::vector<std::pair<std::wstring, std::wstring>>{{L"keep\\cache", L"only1"}, {L"keep\\k", L"same"}}));
    EXPECT_NE(r.Err().find(Filled(IDS_CLI_EXCLUDED, L"1")), std::wstring::npos) << r.err;
    // The page's head: the count with the patterns as given.
    EXPECT_NE(ReadRaw(page).find("<tr><th>" + Utf8(Filled(IDS_CLI_REPORT_EXCLUDED, L"1")) +
                                 "</th><td class=\"excluded\"><code>CACHE/</code> <code>*.bak</code></td></tr>"),
              std::string::npos);
}

// An excluded file gets no manifest line, and the manifest's lines that match are not audited.
TEST(Exclusions, ManifestAndAudit)
{
    Sides s;
    s.Both(L"keep.txt", Pattern(10, 1));
    s.Both(L"x.tmp", Pattern(10, 2));
    const std::wstring manifest = s.dir / L"m.sha256", whole = s.dir / L"whole.sha256";
    const Result r = RunVerify(s.Args({L"--manifest", manifest, L"--exclude", L"*.tmp"}));
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const std::string lines = ReadRaw(manifest);
    EXPECT_NE(lines.find("keep.txt"), std::string::npos);
    EXPECT_EQ(lines.find("x.tmp"), std::string::npos);
    EXPECT_EQ(RunVerify(s.Args({L"--manifest", whole})).exitCode, 0u);
    PokeByte(s.b + L"x.tmp", 0, 0);
    EXPECT_EQ(RunVerify({L"--check", whole, s.b}).exitCode, 1u);
    const Result audit = RunVerify({L"--check", whole, L"--exclude", L"*.TMP", s.b});
    EXPECT_EQ(audit.exitCode, 0u) << audit.err;
    EXPECT_EQ(Verdicts(audit), (std::vector<std::pair<std::wstring, std::wstring>>{{L"keep.txt", L"same"}}));
}

// Bytes that differ under times within 2 s of each other were changed by no program: damage, listed first on the
// page and counted apart. A newer side is a change. The times are the rows' own, to the tick.
TEST(Damage, EqualTimesWithin2SecondsAreDamageNewerIsChange)
{
    SYSTEMTIME st{2026, 12, 0, 11, 3, 4, 5, 0};
    FILETIME ft;
    ASSERT_TRUE(::SystemTimeToFileTime(&st, &ft));
    const UINT64 nBase = (static_cast<UINT64>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) + 5000000;  // .5 s
    Sides s;
    const struct
    {
        const wchar_t* pszName;
        unsigned nApart;  // seconds side 2 is newer
        bool bDamage;
        const wchar_t* pszTime2;
    } cases[] = {{L"differs-0", 0, true, L"2026-12-11T03:04:05.5Z"}, {L"differs-1", 1, true, L"2026-12-11T03:04:06.5Z"},
                 {L"differs-2", 2, true, L"2026-12-11T03:04:07.5Z"}, {L"differs-3", 3, false, L"2026-12-11T03:04:08.5Z"},
                 {L"size-0", 0, true, L"2026-12-11T03:04:05.5Z"}, {L"size-1", 1, true, L"2026-12-11T03:04:06.5Z"},
                 {L"size-2", 2, true, L"2026-12-11T03:04:07.5Z"}, {L"size-3", 3, false, L"2026-12-11T03:04:08.5Z"}};
    for (const auto& c : cases)
    {
        const bool bSize = c.pszName[0] == L's';
        WriteBytes(s.a + c.pszName, Pattern(100, 1));
        WriteBytes(s.b + c.pszName, bSize ? Pattern(101, 1) : Pattern(100, 2));
        SetWriteTime(s.a + c.pszName, nBase);
        // Side 1 newer where side 2 is the earlier: the distance counts, whichever side is ahead.
        SetWriteTime(s.b + c.pszName, nBase + c.nApart * 10000000ull);
    }
    const std::wstring page = s.dir / L"r.html";
    const Result r = RunVerify(s.Args({L"--report", page}));
    EXPECT_EQ(r.exitCode, 1u) << r.err;
    const auto rows = ParseTsv(r.out);
    ASSERT_EQ(rows.size(), std::size(cases));
    const std::string html = ReadRaw(page);
    const size_t nDamage = html.find("<section class=\"damage\">"), nProblems = html.find("<section class=\"problems\">");
    ASSERT_NE(nDamage, std::string::npos);
    const std::string damage = html.substr(nDamage, html.find("</section>", nDamage) - nDamage);
    const std::string problems = html.substr(nProblems, html.find("</section>", nProblems) - nProblems);
    for (size_t i = 0; i < rows.size(); ++i)
    {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(cases[i].pszName)));
        EXPECT_EQ(rows[i].first, cases[i].pszName);
        EXPECT_EQ(rows[i].second.verdict, cases[i].pszName[0] == L's' ? L"size" : L"differs");
        EXPECT_EQ(rows[i].second.time1, L"2026-12-11T03:04:05.5Z");
        EXPECT_EQ(rows[i].second.time2, cases[i].pszTime2);
        const std::string name = Utf8(cases[i].pszName) + "<";
        EXPECT_EQ(damage.find(name) != std::string::npos, cases[i].bDamage);
        EXPECT_EQ(problems.find(name) != std::string::npos, !cases[i].bDamage);
    }
    EXPECT_NE(r.Err().find(Filled(IDS_CLI_DAMAGE, L"6")), std::wstring::npos) << r.err;
}
