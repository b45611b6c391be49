// tavik-verify.exe under every fault a backup can have, on either side, in both modes: one table, one harness.
#include "CliHarness.h"
#include "Manifest.h"
#include "ReparseData.h"
#include "Sha256.h"
#include "TestSupport.h"
#include "resource.h"
#include <gtest/gtest.h>
#include <memory>

namespace
{
const UINT64 MiB = 0x100000;
// Three whole slots and five bytes: a fault can strike the first slot, the middle of the second or the last byte.
const UINT64 kSize = 3 * MiB + 5;
const wchar_t kFaulty[] = L"f-faulty.bin";
// The injector's errors are Linux's numbers, which Wine maps: EIO to ERROR_NOT_READY, EOPNOTSUPP to ERROR_NOT_SUPPORTED.
const int kLinuxEio = 5, kLinuxNotSupported = 95;

// The depths every row runs at, as extra arguments: the default (several files in flight) and one file at a time.
const std::vector<std::vector<std::wstring>> kDepths = {{}, {L"--depth", L"1"}};

enum class How
{
    kToEnd,       // the run goes to its end, its rows on a pipe
    kBreak,       // Ctrl+Break once the progress line names the faulty file
    kClosedPipe,  // standard output is a pipe whose reading end was closed before the run
    kFullDisk,    // standard output is a device that is always full
};

// What the run does beside its rows: nothing more, write a manifest of folder 1, or audit folder 2 against one.
enum class Use
{
    kCompare,
    kManifest,
    kCheck,
};

// One run: the two folders, the fault, and what the run must give with that fault alone in it.
struct Run
{
    int s = 0;  // the side with the fault: 0 (the source) or 1 (the backup, where bad sectors are found)
    bool bFast = true;
    Sides dirs;  // destroyed last: the holds and rules go first, so the folders can be removed
    FaultRules rules;
    std::vector<std::unique_ptr<ExclusiveHold>> holds;
    std::vector<Row> rows;  // the rows expected, in TSV
    bool bNoRows = false;   // a folder given that cannot be listed: no output at all, not even the header
    DWORD status = 0;

    Run(int nSide, bool bFastMode) : s(nSide), bFast(bFastMode)
    {
        // Equal names around every fault: a fault stays with its own pair, and the run goes on after it.
        dirs.Both(L"a-before", Pattern(100, 1));
        dirs.Both(L"z-after", Pattern(100, 2));
    }
    std::wstring Side() const { return s == 0 ? dirs.a : dirs.b; }
    const wchar_t* Mode() const { return bFast ? L"fast" : L"normal"; }
    void MakeFaulty() { dirs.Both(kFaulty, Pattern(kSize, 3)); }
    // A subfolder on both sides; with bMany more entries than one listing query of up to 64 KiB returns.
    void MakeSub(const std::wstring& folder, bool bMany)
    {
        MakeDir(dirs.a + folder);
        MakeDir(dirs.b + folder);
        dirs.Both(folder + L"x", Pattern(10, 4));
        for (int i = 0; bMany && i < 150; ++i)
            dirs.Both(folder + L"n" + std::to_wstring(1000 + i) + std::wstring(200, L'-'), {});
    }
    void Hold(const std::wstring& path, DWORD dwFlags = 0) { holds.push_back(std::make_unique<ExclusiveHold>(path, dwFlags)); }
    Row Same(const std::wstring& name) const { return {L"same", name, L"100", L"100", Mode(), L""}; }
    Row Faulty(const wchar_t* pszVerdict, const wchar_t* pszMode, const std::wstring& detail = L"") const
    {
        return {pszVerdict, kFaulty, N(kSize), N(kSize), pszMode, detail};
    }
    void Expect(const std::vector<Row>& middle, DWORD dwStatus)
    {
        rows = {Same(L"a-before")};
        rows.insert(rows.end(), middle.begin(), middle.end());
        rows.push_back(Same(L"z-after"));
        status = dwStatus;
    }
    // The manifest of folder 1 as made, its digests taken from the bytes written; the faulty file's line or none.
    std::string Lines(bool bFaulty) const
    {
        std::string text = LineOf(L"a-before", Pattern(100, 1));
        if (bFaulty)
            text += LineOf(kFaulty, Pattern(kSize, 3));
        return text + LineOf(L"z-after", Pattern(100, 2));
    }
    // The rows of an audit of folder 2: side 1 is the manifest, which has no sizes. Whatever a comparison made of
    // the faulty file, its digest is of no whole file: that is trouble, never same or differs.
    void Audit()
    {
        for (Row& row : rows)
        {
            row.size1.clear();
            if (row.name == kFaulty && row.verdict != L"cannot-open")
                row = {L"read-error", kFaulty, L"", N(kSize), row.mode, row.verdict == L"read-error" ? row.detail : L""};
        }
        status = 2;
    }
    static std::string LineOf(const std::wstring& name, const std::vector<unsigned char>& bytes)
    {
        CSha256 sha;
        BYTE digest[32] = {};
        EXPECT_TRUE(sha.Open() && sha.Update(bytes.data(), bytes.size()) && sha.Finish(digest));
        return ManifestLine(digest, name);
    }
};

std::string ReadAll(const std::wstring& path)
{
    std::string text;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[4096];
    DWORD dwRead = 0;
    while (h != INVALID_HANDLE_VALUE && ::ReadFile(h, buffer, sizeof buffer, &dwRead, nullptr) && dwRead)
        text.append(buffer, dwRead);
    if (h != INVALID_HANDLE_VALUE)
        ::CloseHandle(h);
    return text;
}

const Row kSubCannotList = {L"cannot-list", L"sub\\", L"", L"", L"", L""};

struct Fault
{
    const char* name;
    bool bSided;      // a fault of side 1 or side 2; otherwise of the run as a whole
    bool bBuffered;   // also in buffered mode; faults of unbuffered reads have no meaning there
    bool bFormats;    // in both formats, not only TSV
    bool bManifest;   // a fault of one file that a manifest and an audit must show too
    How how;
    void (*make)(Run& r);  // makes the fault and says what the run must give
};

const Fault kFaults[] = {
    // A device error (EIO: Wine's ERROR_NOT_READY, 21) is never read again through the cache, not even at the
    // first unbuffered read.
    {"read error at offset 0", true, true, false, true, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.Eio(r.Side() + kFaulty, 0);
         r.Expect({r.Faulty(L"read-error", r.Mode(), L"error-21")}, 2);
     }},
    {"read error in the middle of the second slot", true, true, false, true, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.Eio(r.Side() + kFaulty, MiB + MiB / 2);
         r.Expect({r.Faulty(L"read-error", r.Mode(), L"error-21")}, 2);
     }},
    {"read error at the last byte", true, true, false, true, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.Eio(r.Side() + kFaulty, kSize - 1);
         r.Expect({r.Faulty(L"read-error", r.Mode(), L"error-21")}, 2);
     }},
    // The cache may still hold the pages of a copy made a minute ago: only the unbuffered handle fails here, and
    // a fallback would find the file the same.
    {"device error on the unbuffered handle only", true, false, false, true, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.UnbufferedFail(r.Side() + kFaulty, kLinuxEio);
         r.Expect({r.Faulty(L"read-error", L"fast", L"error-21")}, 2);
     }},
    {"unbuffered reads not supported", true, false, false, false, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.UnbufferedFail(r.Side() + kFaulty, kLinuxNotSupported);
         r.Expect({r.Faulty(L"same", L"normal")}, 0);
     }},
    // A redirector may return fewer bytes than asked before the end: the rest is read, not taken for a change.
    {"short read in the middle of the second slot", true, true, false, false, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.Short(r.Side() + kFaulty, MiB + MiB / 2 + 7);
         r.Expect({r.Faulty(L"same", r.Mode())}, 0);
     }},
    // A volume that refuses unaligned unbuffered reads, as Windows does: fast mode's own reads, up to the file's
    // short last block, are all aligned, and nothing is read after that block.
    {"unaligned unbuffered reads refused", true, false, false, false, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.Align(r.Side() + kFaulty, 4096);
         r.Expect({r.Faulty(L"same", L"fast")}, 0);
     }},
    // A volume that opens unbuffered but refuses every unbuffered read as unaligned (its sectors larger than any
    // block): fast mode falls back to the cache for that side.
    {"every unbuffered read refused as unaligned", true, false, false, false, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.Unbuffered(r.Side() + kFaulty, 2 * MiB);
         r.Expect({r.Faulty(L"same", L"normal")}, 0);
     }},
    {"file grows while read", true, true, false, true, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.Resize(r.Side() + kFaulty, MiB, kSize + MiB);
         r.Expect({r.Faulty(L"differs", r.Mode(), N(kSize))}, 1);
     }},
    {"file shrinks while read", true, true, false, true, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.rules.Resize(r.Side() + kFaulty, MiB, MiB + MiB / 2);
         r.Expect({r.Faulty(L"differs", r.Mode(), N(MiB + MiB / 2))}, 1);
     }},
    {"file held without share-read", true, true, false, true, How::kToEnd, [](Run& r) {
         r.MakeFaulty();
         r.Hold(r.Side() + kFaulty);
         r.Expect({r.Faulty(L"cannot-open", L"", L"in-use")}, 2);
     }},
    // The second slot's read blocks far longer than the run may take to stop: only an abandoned read lets the
    // program end.
    {"stalled read cut by Ctrl+C", true, true, false, false, How::kBreak, [](Run& r) {
         r.MakeFaulty();
         r.rules.Stall(r.Side() + kFaulty, 120, MiB);
         r.Expect({r.Faulty(L"interrupted", r.Mode())}, 3);
         r.rows.back() = {L"not-compared", L"z-after", L"100", L"100", L"", L""};
     }},
    // Nothing under a folder that one side could not list is reported as on one side only: what that side holds
    // there is not known.
    {"subfolder cannot be listed", true, true, false, false, How::kToEnd, [](Run& r) {
         r.MakeSub(L"sub\\", false);
         r.Hold(r.Side() + L"sub", FILE_FLAG_BACKUP_SEMANTICS);
         r.Expect({kSubCannotList}, 2);
     }},
    {"subfolder listing fails half-way", true, true, false, false, How::kToEnd, [](Run& r) {
         r.MakeSub(L"sub\\", true);
         r.rules.ListFail(r.Side() + L"sub\\", 1);
         r.Expect({kSubCannotList}, 2);
     }},
    {"folder given cannot be listed", true, true, false, false, How::kToEnd, [](Run& r) {
         r.Hold(r.Side().substr(0, r.Side().size() - 1), FILE_FLAG_BACKUP_SEMANTICS);
         r.bNoRows = true;
         r.status = 2;
     }},
    {"folder given fails half-way", true, true, false, false, How::kToEnd, [](Run& r) {
         r.MakeSub(L"", true);
         r.rules.ListFail(r.Side(), 1);
         r.bNoRows = true;
         r.status = 2;
     }},
    // Rows that cannot be written are trouble, whatever the comparisons found.
    {"output to a closed pipe", false, true, false, false, How::kClosedPipe, [](Run& r) { r.Expect({}, 2); }},
    {"output to a full disk", false, true, false, false, How::kFullDisk, [](Run& r) { r.Expect({}, 2); }},
    // The worst status wins: trouble over differences.
    {"faults mixed", false, true, true, false, How::kToEnd, [](Run& r) {
         r.dirs.Both(L"b-differs", Pattern(1000, 5));
         PokeByte(r.dirs.b + L"b-differs", 500, static_cast<unsigned char>(Pattern(1000, 5)[500] ^ 0xFF));
         WriteText(r.dirs.a + L"c-only1", "1");
         r.MakeFaulty();
         r.rules.Eio(r.dirs.b + kFaulty, 0);
         r.dirs.Both(L"g-held", Pattern(10, 6));
         r.Hold(r.dirs.a + L"g-held");
         r.Expect({{L"differs", L"b-differs", L"1000", L"1000", r.Mode(), L"500"},
                   {L"only1", L"c-only1", L"1", L"", L"", L""},
                   r.Faulty(L"read-error", r.Mode(), L"error-21"),
                   {L"cannot-open", L"g-held", L"10", L"10", L"", L"in-use"}},
                  2);
     }},
};

std::wstring Joined(const std::vector<std::wstring>& args)
{
    std::wstring text;
    for (const std::wstring& a : args)
        text += (text.empty() ? L"" : L" ") + a;
    return text.empty() ? L"default" : text;
}

void RunRow(const Fault& fault, Use use, int s, bool bFast, const std::vector<std::wstring>& depth, const char* format)
{
    Run r(s, bFast);
    fault.make(r);
    std::vector<std::wstring> options = With({L"-r"}, format);
    if (!bFast)
        options.push_back(L"--buffered");
    options.insert(options.end(), depth.begin(), depth.end());
    const std::wstring manifest = r.dirs.dir / L"sums.sha256";
    std::vector<std::wstring> args = r.dirs.Args(options);
    if (use == Use::kManifest)
    {
        args.insert(args.end() - 2, {L"--manifest", manifest});
        // A file of folder 1 that has no line is trouble, whatever the comparison found.
        if (s == 0)
            r.status = 2;
    }
    if (use == Use::kCheck)
    {
        WriteText(manifest, r.Lines(true).c_str());
        args = options;
        args.insert(args.end(), {L"--check", manifest, r.dirs.b});
        r.Audit();
    }

    Result result;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    switch (fault.how)
    {
    case How::kToEnd:
        result = RunVerify(args);
        break;
    case How::kBreak:
        result = BreakWhileComparing(r.dirs, kFaulty, options);
        break;
    case How::kClosedPipe:
    case How::kFullDisk:
    {
        HANDLE hOut = nullptr;
        if (fault.how == How::kClosedPipe)
        {
            HANDLE hRead = nullptr;
            ASSERT_TRUE(::CreatePipe(&hRead, &hOut, &sa, 0));
            ::CloseHandle(hRead);
        }
        else
        {
            hOut = ::CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(hOut, INVALID_HANDLE_VALUE);
        }
        Child child(r.dirs.Args(options), std::wstring(), 0, VerifyExe(), hOut);
        ::CloseHandle(hOut);
        result = child.Finish();
        break;
    }
    }

    EXPECT_EQ(result.exitCode, r.status);
    const std::wstring err = result.Err();
    if (r.bNoRows)
    {
        EXPECT_TRUE(result.out.empty()) << "no rows, not even a header";
        EXPECT_NE(err.find(Text(IDS_CLI_CANNOT_LIST).substr(0, 8)), std::wstring::npos) << testing::PrintToString(err);
        EXPECT_NE(err.find(r.Side()), std::wstring::npos) << testing::PrintToString(err);
        return;
    }
    if (fault.how == How::kToEnd || fault.how == How::kBreak)
        ExpectRows(result, format, r.rows);
    if (use == Use::kManifest)
    {
        // Folder 1's faulty file has no line but an error naming it; every other file has its line.
        EXPECT_EQ(ReadAll(manifest), r.Lines(s == 1));
        std::wstring noLine = Text(IDS_CLI_MANIFEST_NO_LINE);
        noLine.replace(noLine.find(L"%1"), 2, kFaulty);
        EXPECT_EQ(err.find(noLine) != std::wstring::npos, s == 0) << testing::PrintToString(err);
    }
    // The summary, written all the same.
    EXPECT_NE(err.find(Text(fault.how == How::kBreak ? IDS_RUN_ABORTED : IDS_RUN_COMPLETE)), std::wstring::npos)
        << testing::PrintToString(err);
}
}

// Each row with its fault alone in the run (but one that mixes them): the row of the faulty name and the status.
// A fault of one file is also run with a manifest written (folder 1's faulty file has no line) and, on side 2,
// with folder 2 audited against a manifest.
TEST(CliFaults, EveryFaultOnEitherSideInBothModesAtEveryDepth)
{
    ASSERT_TRUE(FaultRules::Available()) << "cli_fault_tests must run with the fault injector preloaded";
    const char* const kUses[] = {"", ", --manifest", ", --check"};
    for (const Fault& fault : kFaults)
        for (Use use : fault.bManifest ? std::vector<Use>{Use::kCompare, Use::kManifest, Use::kCheck} : std::vector<Use>{Use::kCompare})
            for (int s : fault.bSided ? std::vector<int>{0, 1} : std::vector<int>{0})
                for (bool bFast : fault.bBuffered ? std::vector<bool>{true, false} : std::vector<bool>{true})
                    for (const std::vector<std::wstring>& depth : kDepths)
                        for (const char* format : kFormats)
                        {
                            if ((!fault.bFormats && std::string(format) != "tsv") || (use == Use::kCheck && s == 0))
                                continue;
                            SCOPED_TRACE(testing::Message() << fault.name << kUses[static_cast<int>(use)]
                                                            << (fault.bSided ? s == 0 ? ", side 1" : ", side 2" : "")
                                                            << (bFast ? ", fast" : ", buffered") << ", depth "
                                                            << testing::PrintToString(Joined(depth)) << ", " << format);
                            RunRow(fault, use, s, bFast, depth, format);
                        }
}

// A FIFO from a Linux share is listed like a file but is no disk file: reading it would wait for ever for a
// writer, and as "empty" it would pass for the same as an empty file. A native step makes the folders.
TEST(CliFaults, AFifoInPlaceOfAFileIsNeverRead)
{
    const std::wstring folder = FolderFromEnvironment("TAVIK_CLI_FIFO");
    for (const wchar_t* pszMode : {L"--depth=1", L"--buffered"})
    {
        SCOPED_TRACE(::testing::PrintToString(pszMode));
        const Result r = RunVerify({pszMode, folder + L"\\1", folder + L"\\2"});
        ExpectRows(r, "tsv", {{L"cannot-open", L"p", L"0", L"1", L"", L"error-50"}, {L"cannot-open", L"q", L"0", L"0", L"", L"error-50"}});
        EXPECT_EQ(r.exitCode, 2u);
    }
}

// A file ID of 0 (no IDs) or all ones (no unique IDs) is shared by every file of such a volume: taken for an ID it
// made every subfolder a loop and every pair one file, and the run passed with a difference left unread.
TEST(CliFaults, AVolumeWithoutFileIdsNeitherLoopsNorLabels)
{
    ASSERT_TRUE(FaultRules::Available());
    for (long long index : {0LL, -1LL})
    {
        SCOPED_TRACE(index);
        Sides dirs;
        FaultRules rules;
        dirs.Both(L"x", Pattern(10, 1));
        MakeDir(dirs.a + L"sub");
        MakeDir(dirs.b + L"sub");
        dirs.Both(L"sub\\y", Pattern(10, 2));
        PokeByte(dirs.b + L"sub\\y", 3, static_cast<unsigned char>(Pattern(10, 2)[3] ^ 1));
        rules.NoId(dirs.dir / L"", index);
        const Result r = RunVerify(dirs.Args({L"-r"}));
        ExpectRows(r, "tsv", {{L"differs", L"sub\\y", L"10", L"10", L"fast", L"3"}, {L"same", L"x", L"10", L"10", L"fast", L""}});
        EXPECT_EQ(r.exitCode, 1u);
        const Result self = RunVerify({L"-r", dirs.a, dirs.a});
        ExpectRows(self, "tsv", {{L"same", L"sub\\y", L"10", L"10", L"fast", L""}, {L"same", L"x", L"10", L"10", L"fast", L""}});
    }
    // Without IDs nothing tells a folder that leads back to one it is inside (a link on a share's server) from a
    // new one: the walk stops 128 levels down, and says so, where a loop would otherwise be walked for ever.
    Sides deep;
    FaultRules rules;
    std::wstring path;
    for (int level = 1; level <= 129; ++level)
    {
        path += L"d\\";
        MakeDir(L"\\\\?\\" + deep.a + path);
        MakeDir(L"\\\\?\\" + deep.b + path);
    }
    rules.NoId(deep.dir / L"", 0);
    const Result r = RunVerify(deep.Args({L"-r"}));
    const auto rows = ParseTsv(r.out);
    ASSERT_EQ(rows.size(), 1u) << r.out;
    EXPECT_EQ(rows[0].first, path);  // the 129th level
    EXPECT_EQ(rows[0].second.verdict, L"cannot-list");
    EXPECT_EQ(rows[0].second.detail, L"depth");
    EXPECT_EQ(r.exitCode, 2u);
}

// Reparse data comes from a driver or a server: a junction's target is read only within the bytes returned, and data
// whose offsets point past them is no target at all (the folder is then reported as a link, not walked).
TEST(CliFaults, ReparseOffsetsPastTheDataReturnedAreNoTarget)
{
    const std::wstring junction = L"\\??\\C:\\x", volume = L"\\??\\Volume{1}\\";
    auto buffer = [](const std::wstring& name, DWORD nOffset, DWORD nLength) {
        std::vector<BYTE> b(16 + 2 * name.size() + 2 * 64);
        const WORD head[] = {0, 0, 0, 0, static_cast<WORD>(nOffset), static_cast<WORD>(nLength), 0, 0};  // tag, data length, reserved, then the offsets
        memcpy(b.data() + 0, &head, sizeof head);
        memcpy(b.data() + 16, name.data(), 2 * name.size());
        return b;
    };
    const DWORD nJunction = static_cast<DWORD>(2 * junction.size());
    const struct
    {
        std::vector<BYTE> data;
        DWORD nGot;
        bool bOk;
        std::wstring target;
    } cases[] = {
        {buffer(junction, 0, nJunction), 16 + nJunction, true, junction},
        {buffer(volume, 0, 2 * static_cast<DWORD>(volume.size())), 16 + 2 * static_cast<DWORD>(volume.size()), true, volume},
        {buffer(junction, 4, nJunction - 4), 16 + nJunction, true, junction.substr(2)},
        // One character past what came back, an offset past it, a length that wraps, an odd offset, no header.
        {buffer(junction, 0, nJunction + 2), 16 + nJunction, false, L""},
        {buffer(junction, nJunction + 2, 2), 16 + nJunction, false, L""},
        {buffer(junction, 2, 0xFFFE), 16 + nJunction, false, L""},
        {buffer(junction, 1, 2), 16 + nJunction, false, L""},
        {buffer(junction, 0, 0), 15, false, L""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << &c - cases);
        std::wstring target = L"?";
        EXPECT_EQ(ReparseData::MountPointTarget(c.data.data(), c.nGot, target), c.bOk);
        EXPECT_EQ(target, c.target);
    }
}
