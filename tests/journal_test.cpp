// tavik-verify --journal: a run killed outright at several points, or broken off, and the run that takes it over,
// whose every output must be that of a run never cut off; journals torn, damaged or of another run.
#include "CliHarness.h"
#include "ConsoleOut.h"
#include "Journal.h"
#include "resource.h"
#include "version.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <set>

namespace
{
std::string ReadAll(const std::wstring& path)
{
    std::string text;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return text;
    char buf[65536];
    DWORD n = 0;
    while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    ::CloseHandle(h);
    return text;
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names of the whole records a journal holds now.
std::set<std::wstring> Recorded(const std::wstring& journal)
{
    std::set<std::wstring> names;
    const std::string text = ReadAll(journal);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    {
        CJournalRow row;
        if (CJournal::ParseRecord(text.substr(at, end - at + 1), row))
            names.insert(row.name);
    }
    return names;
}

// The summary's words for n rows taken over, up to where the run's start time follows.
std::string TakenOver(size_t n)
{
    std::wstring text = Text(IDS_CLI_TAKEN_OVER);
    text = text.substr(0, text.find(L"%2"));
    text.replace(text.find(L"%1"), 2, std::to_wstring(n));
    std::string utf8(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr) - 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], static_cast<int>(utf8.size()) + 1, nullptr, nullptr);
    return utf8;
}

std::wstring Name(int i)
{
    wchar_t buf[8];
    swprintf(buf, 8, L"f%02d", i);
    return buf;
}

// Twelve pairs (f04 differs, f08 differs in size), a file of folder 1 alone, and a subfolder listed after them.
struct Tree
{
    Sides s;
    std::wstring journal = s.dir / L"run.journal", manifest = s.dir / L"sums.sha256";
    bool bCheck = false;  // an audit of folder 2 against the manifest, not a comparison that writes it
    Tree()
    {
        for (int i = 1; i <= 12; ++i)
            s.Both(Name(i), Pattern(3000 + 100 * static_cast<size_t>(i), static_cast<unsigned>(i)));
        std::vector<unsigned char> changed = Pattern(3400, 4);
        changed[1234] ^= 0x10;
        WriteBytes(s.b + L"f04", changed);
        WriteBytes(s.b + L"f08", Pattern(3799, 8));
        WriteBytes(s.a + L"only", Pattern(100, 20));
        MakeDir(s.a + L"z");
        MakeDir(s.b + L"z");
        s.Both(L"z\\g1", Pattern(2000, 21));
        s.Both(L"z\\g2", Pattern(2000, 22));
    }
    std::vector<std::wstring> Args(bool bJournal = true) const
    {
        std::vector<std::wstring> args = {L"-r", bCheck ? L"--check" : L"--manifest", manifest};
        if (bJournal)
            args.insert(args.end(), {L"--journal", journal});
        if (!bCheck)
            args.push_back(s.a);
        args.push_back(s.b);
        return args;
    }
};

// Runs the program until the journal holds nRecords, then ends it: outright, or with Ctrl+Break.
void CutAfter(const Tree& t, size_t nRecords, bool bBreak = false)
{
    Child child(t.Args(), std::wstring(), CREATE_NEW_PROCESS_GROUP);
    ASSERT_TRUE(PumpUntil([&] { return Recorded(t.journal).size() >= nRecords; }, 60000)) << "the records never came";
    if (bBreak)
    {
        SendCtrlBreak(child.Info());
        EXPECT_EQ(child.Finish().exitCode, 3u);
        return;
    }
    ::TerminateProcess(child.Info().hProcess, 99);
    EXPECT_EQ(child.Finish().exitCode, 99u);
}

// The run that takes the journal over, with a read of any file taken over failing and logged, against a run never
// cut off over the tree as it is now: the same rows, status and manifest.
void ExpectTakenOver(const Tree& t)
{
    ASSERT_TRUE(Exists(t.journal)) << "the cut run left no journal";
    const std::set<std::wstring> taken = Recorded(t.journal);
    Result resumed;
    {
        FaultRules rules;
        for (const std::wstring& name : taken)
            for (const std::wstring& side : {t.s.a, t.s.b})
                rules.Eio(side + name, 0);
        char log[MAX_PATH];
        ASSERT_TRUE(::GetEnvironmentVariableA("TAVIK_FAULT_LOG", log, sizeof log) > 0);
        ::DeleteFileW(FromUnix(log).c_str());
        std::vector<std::wstring> args = t.Args();
        args.insert(args.begin(), {L"--report", t.s.dir / L"resumed.html"});
        resumed = RunVerify(args);
        const std::string reads = ReadAll(FromUnix(log));
        for (const std::wstring& name : taken)
            for (const std::wstring& side : {t.s.a, t.s.b})
                EXPECT_EQ(reads.find(UnixPath(side + name)), std::string::npos) << "read again: " << UnixPath(side + name);
    }
    EXPECT_NE(resumed.err.find(TakenOver(taken.size())), std::string::npos) << resumed.err;
    EXPECT_FALSE(Exists(t.journal)) << "a run that went through keeps its journal";
    const std::string manifest = ReadAll(t.manifest);
    std::vector<std::wstring> args = t.Args(false);
    args.insert(args.begin(), {L"--report", t.s.dir / L"whole.html"});
    const Result whole = RunVerify(args);
    // The page shows a first difference taken over with the bytes the run that read it saw.
    auto views = [](const std::string& page) {
        std::string rows;
        for (size_t at = 0; (at = page.find("<tr class=\"view\"", at)) != std::string::npos; ++at)
            rows += page.substr(at, page.find("</tr>", at) - at) + "\n";
        return rows;
    };
    const std::string view = views(ReadAll(t.s.dir / L"whole.html"));
    EXPECT_EQ(view.empty(), t.bCheck);  // a digest tells whether, not where
    EXPECT_EQ(views(ReadAll(t.s.dir / L"resumed.html")), view);
    EXPECT_EQ(resumed.out, whole.out);
    EXPECT_EQ(resumed.exitCode, whole.exitCode);
    EXPECT_EQ(manifest, ReadAll(t.manifest));
    EXPECT_EQ(whole.exitCode, 1u);
}
}

// Cut while a read of f07 is held: the six rows before it are taken over, the rest compared.
TEST(Journal, AKillMidRunIsTakenOver)
{
    ASSERT_TRUE(FaultRules::Available());
    Tree t;
    {
        FaultRules rules;
        rules.Hold(t.s.b + L"f07", 0);
        CutAfter(t, 6);
    }
    ExpectTakenOver(t);
}

// While the subfolder's listing is held, the rows of the folder above are all decided; a second cut of the run
// that took them over (Ctrl+Break while a read is held) still resumes, from both runs' records.
TEST(Journal, AKillWhileListingAndABreakOfTheResumedRunAreTakenOver)
{
    ASSERT_TRUE(FaultRules::Available());
    Tree t;
    {
        FaultRules rules;
        rules.OpenHold(t.s.b + L"z");
        CutAfter(t, 12);
    }
    {
        FaultRules rules;
        rules.Hold(t.s.b + L"z\\g2", 0);
        CutAfter(t, 13, true);
    }
    ExpectTakenOver(t);
}

// Killed while the manifest is written at the end: every row was written, the journal stands until the manifest
// is in place, and the run that takes it over writes the same manifest without reading a file of a pair.
TEST(Journal, AKillWhileTheManifestIsCommittedIsTakenOver)
{
    ASSERT_TRUE(FaultRules::Available());
    Tree t;
    char log[MAX_PATH];
    ASSERT_TRUE(::GetEnvironmentVariableA("TAVIK_FAULT_LOG", log, sizeof log) > 0);
    ::DeleteFileW(FromUnix(log).c_str());
    {
        auto hold = std::make_unique<FaultRules>();
        hold->Hold(t.s.b + L"z\\g2", 0);
        Child child(t.Args(), std::wstring(), CREATE_NEW_PROCESS_GROUP);
        const std::wstring temp = t.manifest + L".tavik-" + std::to_wstring(child.Info().dwProcessId) + L".tmp";
        ASSERT_TRUE(PumpUntil([&] { return Exists(temp) && Recorded(t.journal).size() >= 13; }, 60000));
        // The held read goes on and the manifest's first write is held in its place, in one change of the rules.
        FaultRules write;
        write.WriteHold(temp);
        ASSERT_TRUE(PumpUntil([&] { return ReadAll(FromUnix(log)).find(" write held") != std::string::npos; }, 60000));
        ::TerminateProcess(child.Info().hProcess, 99);
        EXPECT_EQ(child.Finish().exitCode, 99u);
        ::DeleteFileW(temp.c_str());
    }
    EXPECT_FALSE(Exists(t.manifest));
    ExpectTakenOver(t);
}

// Between the runs f02 changes on side 2 (same size, new bytes and time), f13 appears and the journal's last record
// is torn: the run that takes it over compares the changed and the new file and the torn record's pair, and its own
// records follow the whole ones, so that a second cut of it resumes too.
TEST(Journal, ChangedFilesAndATornRecordAreComparedAgain)
{
    ASSERT_TRUE(FaultRules::Available());
    Tree t;
    {
        FaultRules rules;
        rules.Hold(t.s.b + L"f07", 0);
        CutAfter(t, 6);
    }
    std::vector<unsigned char> changed = Pattern(3200, 2);
    changed[7] ^= 1;
    WriteBytes(t.s.b + L"f02", changed);
    t.s.Both(L"f13", Pattern(100, 13));
    std::string text = ReadAll(t.journal);
    const size_t last = text.rfind('\n', text.size() - 2) + 1;
    CJournalRow row;
    ASSERT_TRUE(CJournal::ParseRecord(text.substr(last), row));
    const std::wstring tornName = row.name;
    text.erase(text.size() - 10);
    WriteText(t.journal, text.c_str());
    EXPECT_EQ(Recorded(t.journal).count(tornName), 0u);
    {
        FaultRules rules;
        rules.Hold(t.s.b + L"f10", 0);
        CutAfter(t, 9);
    }
    // f02's record of the first run still stands in the journal, behind the second run's own.
    ExpectTakenOver(t);
}

// A journal that does not fit the run is refused before anything is read, and left as it was.
TEST(Journal, AJournalThatDoesNotFitIsRefused)
{
    ASSERT_TRUE(FaultRules::Available());
    Tree t;
    {
        FaultRules rules;
        rules.Hold(t.s.b + L"f07", 0);
        CutAfter(t, 6);
    }
    const std::string kept = ReadAll(t.journal);
    std::string damaged = kept;
    const size_t third = damaged.find('\n', damaged.find('\n') + 1) + 1;  // the second record's first byte
    damaged[third + 3] ^= 1;
    // The head as another version writes it, whole with its own checksum.
    std::string older = kept;
    const size_t headEnd = older.find('\n');
    std::string head = older.substr(0, older.rfind('\t', headEnd));
    head.replace(head.find("\t" TAVIK_VERSION "\t"), sizeof TAVIK_VERSION + 1, "\t0.9\t");
    char crc[16];
    snprintf(crc, sizeof crc, "\t%08x", static_cast<unsigned>(CJournal::Crc32(head.data(), head.size())));
    older = head + crc + older.substr(headEnd);
    struct Case
    {
        const char* what;
        std::string journal;
        std::vector<std::wstring> args;
        std::wstring message;
    } cases[] = {
        {"damaged", damaged, t.Args(), LoadText(IDS_CLI_JOURNAL_DAMAGED, t.journal, L"3")},
        {"other version", older, t.Args(), LoadText(IDS_CLI_JOURNAL_OTHER_VERSION, t.journal)},
        {"other folders", kept, {L"-r", L"--manifest", t.manifest, L"--journal", t.journal, t.s.b, t.s.a},
         LoadText(IDS_CLI_JOURNAL_OTHER_RUN, t.journal)},
        {"other options", kept, {L"--manifest", t.manifest, L"--journal", t.journal, t.s.a, t.s.b},
         LoadText(IDS_CLI_JOURNAL_OTHER_RUN, t.journal)},
        {"not a journal", "name,size\n", t.Args(), LoadText(IDS_CLI_JOURNAL_NOT_JOURNAL, t.journal)},
        {"the manifest", kept, {L"-r", L"--manifest", t.manifest, L"--journal", t.manifest, t.s.a, t.s.b},
         LoadText(IDS_CLI_SAME_FILE, L"--manifest", L"--journal")},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        WriteText(t.journal, c.journal.c_str());
        FaultRules rules;
        rules.Eio(t.s.a + L"f01", 0);
        const Result r = RunVerify(c.args);
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.Err().find(c.message), std::wstring::npos) << r.err;
        EXPECT_EQ(ReadAll(t.journal), c.journal);
        EXPECT_FALSE(Exists(t.manifest));
    }
}

// An audit cut off is taken over alike: the rows of the files audited before the cut come from the journal.
TEST(Journal, AnAuditCutOffIsTakenOver)
{
    ASSERT_TRUE(FaultRules::Available());
    Tree t;
    ASSERT_EQ(RunVerify(t.Args(false)).exitCode, 1u);
    t.bCheck = true;
    {
        FaultRules rules;
        rules.Hold(t.s.b + L"f07", 0);
        CutAfter(t, 6);
    }
    ExpectTakenOver(t);
}

// Every name a listing can hand out comes back from its record as it was: tabs, line ends, backslashes, a lone
// surrogate, a pair of them; a record with one bit changed is refused.
TEST(Journal, ARecordHoldsAnyNameAndRefusesAChangedBit)
{
    for (const wchar_t* name : {L"a\tb\nc\rd\\e", L"x\xD800y", L"\xDC00", L"日本語\x7F", L"\xD83D\xDE00.txt"})
    {
        CJournalRow row, back;
        row.name = name;
        row.kind[0] = row.kind[1] = 1;
        row.nListedSize[1] = row.nSize[1] = 1ull << 40;
        row.nWriteTime[0] = 133000000000000000ull;
        row.nFileId[1] = ~0ull;
        row.verdict = L"same";
        row.bHasSize[1] = true;
        row.detailWord = L"same-file";
        row.bDigest = true;
        row.digest[31] = 0xAB;
        const std::string line = CJournal::RecordLine(row);
        ASSERT_TRUE(CJournal::ParseRecord(line, back)) << line;
        EXPECT_EQ(back.name, row.name);
        EXPECT_EQ(CJournal::RecordLine(back), line);
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
        for (size_t i = 0; i + 1 < line.size(); i += 7)
        {
            std::string bad = line;
            bad[i] ^= 0x04;
            EXPECT_FALSE(CJournal::ParseRecord(bad, back)) << i;
        }
    }
}
