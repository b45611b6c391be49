// SHA-256 and the manifest: the pieces against FIPS 180 and sha256sum's line format, and tavik-verify.exe's
// --manifest and --check against Python's hashlib and coreutils on real files, with their early ends.
#include "CliHarness.h"
#include "ConsoleOut.h"
#include "ExactPath.h"
#include "FileAccess.h"
#include "Manifest.h"
#include "Sha256.h"
#include "resource.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>

namespace
{
const size_t kSlot = 0x100000;

std::string Hex(const BYTE* digest)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 32; ++i)
    {
        s += kDigits[digest[i] >> 4];
        s += kDigits[digest[i] & 15];
    }
    return s;
}

// The message fed in pieces of the sizes given, round and round; one piece of all when none are given.
std::string Digest(CSha256& sha, const std::string& message, const std::vector<size_t>& pieces = {})
{
    size_t nDone = 0;
    for (size_t k = 0; nDone < message.size(); ++k)
    {
        const size_t n = pieces.empty() ? message.size() : std::min(pieces[k % pieces.size()], message.size() - nDone);
        EXPECT_TRUE(sha.Update(message.data() + nDone, n));
        nDone += n;
    }
    BYTE digest[32] = {};
    EXPECT_TRUE(sha.Finish(digest)) << std::hex << sha.Error();
    return Hex(digest);
}

// The whole file as one mapped view, hashed in one call: past 4 GiB the call must be split.
bool HashMapped(CSha256& sha, const std::wstring& path, BYTE digest[32])
{
    HANDLE h = FileAccess::OpenDiskFile(path.c_str(), FILE_SHARE_READ, 0);
    LARGE_INTEGER size{};
    if (h == INVALID_HANDLE_VALUE || !::GetFileSizeEx(h, &size))
        return false;
    HANDLE hMap = ::CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* p = hMap ? ::MapViewOfFile(hMap, FILE_MAP_READ, 0, 0, 0) : nullptr;
    const bool bOk = p && sha.Update(p, static_cast<size_t>(size.QuadPart)) && sha.Finish(digest);
    if (p)
        ::UnmapViewOfFile(p);
    if (hMap)
        ::CloseHandle(hMap);
    ::CloseHandle(h);
    return bOk;
}

// The folder the native step (tests/make_manifest_files.sh) filled, as Wine shows it; ends with a backslash.
std::wstring NativeFiles()
{
    char unix[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableA("TAVIK_MANIFEST_FILES", unix, sizeof unix);
    typedef WCHAR*(CDECL * PfnDosName)(const char*);
    auto pfn = reinterpret_cast<PfnDosName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    EXPECT_TRUE(n > 0 && n < sizeof unix && pfn) << "run through ctest, which makes the files first";
    return n > 0 && n < sizeof unix && pfn ? std::wstring(pfn(unix)) + L"\\" : std::wstring(L"Z:\\no-manifest-files\\");
}

std::string ReadText(const std::wstring& path)
{
    std::string text;
    HANDLE h = ::CreateFileW(Literal(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    char buf[65536];
    DWORD n = 0;
    while (h != INVALID_HANDLE_VALUE && ::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    if (h != INVALID_HANDLE_VALUE)
        ::CloseHandle(h);
    return text;
}

void WriteString(const std::wstring& path, const std::string& text)
{
    WriteBytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

std::vector<std::wstring> FolderNames(const std::wstring& dir)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW(Literal(dir + L"*").c_str(), &fd);
    while (h != INVALID_HANDLE_VALUE)
    {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
            names.push_back(fd.cFileName);
        if (!::FindNextFileW(h, &fd))
        {
            ::FindClose(h);
            break;
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Digest32
{
    BYTE b[32];
    explicit Digest32(BYTE seed)
    {
        for (int i = 0; i < 32; ++i)
            b[i] = static_cast<BYTE>(seed + i);
    }
};

const struct
{
    const char* pszMessage;
    size_t nRepeat;
    const char* pszDigest;
} kFips[] = {
    {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

// Block-sized pieces, pieces across block ends, and empty ones.
const std::vector<size_t> kUnevenPieces = {1, 63, 0, 64, 65, 127, 4096, 100003};

void ExpectFipsDigests(CSha256& sha)
{
    for (const auto& v : kFips)
    {
        std::string message;
        for (size_t i = 0; i < v.nRepeat; ++i)
            message += v.pszMessage;
        EXPECT_EQ(Digest(sha, message), v.pszDigest) << "whole: " << message.substr(0, 60);
        EXPECT_EQ(Digest(sha, message, kUnevenPieces), v.pszDigest) << "in pieces: " << message.substr(0, 60);
    }
}

TEST(Sha256, FipsVectorsWholeAndInUnevenPiecesOneObjectForAll)
{
    CSha256 sha;
    ASSERT_TRUE(sha.Open()) << std::hex << sha.Error();
    // Wine 8 keeps hash objects across files as Windows 8 and later do.
    EXPECT_TRUE(sha.Reusable());
    ExpectFipsDigests(sha);
}

// Windows 7's CNG: the reusable flag refused, every other hash object made as usual.
typedef NTSTATUS(WINAPI* PfnCreateHash)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);
std::atomic<int> g_nRefused, g_nCreated;

NTSTATUS WINAPI Windows7CreateHash(BCRYPT_ALG_HANDLE hAlg, BCRYPT_HASH_HANDLE* phHash, PUCHAR pbObject, ULONG cbObject,
                                   PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags)
{
    if (dwFlags & BCRYPT_HASH_REUSABLE_FLAG)
    {
        ++g_nRefused;
        return static_cast<NTSTATUS>(0xC000000D);  // STATUS_INVALID_PARAMETER
    }
    ++g_nCreated;
    static const auto pfnReal = reinterpret_cast<PfnCreateHash>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"bcrypt.dll"), "BCryptCreateHash")));
    return pfnReal(hAlg, phHash, pbObject, cbObject, pbSecret, cbSecret, dwFlags);
}

TEST(Sha256, WhereTheSystemRefusesReusableObjectsEachFileGetsANewOne)
{
    ImportPatch patch("bcrypt.dll", "BCryptCreateHash", reinterpret_cast<void*>(Windows7CreateHash));
    ASSERT_TRUE(patch.Applied());
    g_nRefused = 0;
    g_nCreated = 0;
    CSha256 sha;
    ASSERT_TRUE(sha.Open());
    EXPECT_FALSE(sha.Reusable());
    EXPECT_EQ(g_nRefused, 1);
    ExpectFipsDigests(sha);
    // One object at Open and one after each of the eight digests.
    EXPECT_EQ(g_nCreated, 1 + 2 * static_cast<int>(std::size(kFips)));
}

// CNG takes at most 4 GiB a call, so one call over a whole file past 4 GiB, as a mapped view hands it over, is
// split. (The program hashes slot by slot: its digests are the runs' below.)
TEST(Sha256, OneCallPast4GiBMatchesHashlib)
{
    const std::wstring dir = NativeFiles();
    std::vector<CManifestEntry> entries;
    std::vector<size_t> badLines;
    ASSERT_TRUE(ReadManifest(dir + L"sizes.sha256", entries, badLines));
    const CManifestEntry* pEntry = FindManifestEntry(entries, L"sparse-4g");
    ASSERT_NE(pEntry, nullptr);
    CSha256 sha;
    ASSERT_TRUE(sha.Open());
    BYTE digest[32] = {};
    ASSERT_TRUE(HashMapped(sha, dir + L"sizes\\sparse-4g", digest));
    EXPECT_EQ(Hex(digest), Hex(pEntry->digest));
}

const char kDigestHex[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

TEST(ManifestLine, NamesAsSha256sumWritesThem)
{
    const Digest32 digest(0);
    const struct
    {
        const wchar_t* pszName;
        bool bEscaped;
        const char* pszWritten;
    } kRows[] = {
        {L"plain.txt", false, "plain.txt"},
        {L"space name.txt", false, "space name.txt"},
        {L" leading and trailing ", false, " leading and trailing "},
        {L"-dash.txt", false, "-dash.txt"},
        {L"#hash.txt", false, "#hash.txt"},
        {L"日本語.txt", false, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt"},
        {L"\xD83D\xDE00.txt", false, "\xF0\x9F\x98\x80.txt"},
        {L"sub\\深い\\nested.txt", false, "sub/\xE6\xB7\xB1\xE3\x81\x84/nested.txt"},
        {L"new\nline.txt", true, "new\\nline.txt"},
        {L"cr\rname.txt", true, "cr\\rname.txt"},
        {L"d\\new\nline\r", true, "d/new\\nline\\r"},
    };
    for (const auto& row : kRows)
        EXPECT_EQ(ManifestLine(digest.b, row.pszName), std::string(row.bEscaped ? "\\" : "") + kDigestHex + "  " + row.pszWritten + "\n")
            << row.pszWritten;
    // No UTF-8 carries a lone surrogate: such a name gets no line rather than a line naming another file.
    for (const wchar_t* pszName : {L"", L"lone\xD800.txt", L"\xDC00", L"end\xDBFF", L"\xDE00\xD83D"})
        EXPECT_EQ(ManifestLine(digest.b, pszName), "") << wcslen(pszName);
}

TEST(ReadManifest, ReadsBackWhatManifestLineWritesWithAnyLineEndAndByteOrderMark)
{
    const std::vector<std::wstring> names = {L"plain.txt", L" leading and trailing ", L"-dash.txt", L"#hash.txt", L"日本語.txt",
                                             L"\xD83D\xDE00.txt", L"sub\\深い\\nested.txt", L"new\nline.txt", L"cr\rname.txt",
                                             L"d\\new\nline\r"};
    std::string lf, crlf;
    for (size_t i = 0; i < names.size(); ++i)
    {
        const std::string line = ManifestLine(Digest32(static_cast<BYTE>(i * 32)).b, names[i]);
        lf += line;
        crlf += line.substr(0, line.size() - 1) + "\r\n";
    }
    TempDir dir;
    const struct
    {
        const char* pszCase;
        std::string text;
    } kFiles[] = {{"LF", lf}, {"CRLF", crlf}, {"BOM", "\xEF\xBB\xBF" + lf}, {"no final line end", lf.substr(0, lf.size() - 1)}};
    for (const auto& file : kFiles)
    {
        WriteString(dir / L"m.sha256", file.text);
        std::vector<CManifestEntry> entries;
        std::vector<size_t> badLines = {99};
        ASSERT_TRUE(ReadManifest(dir / L"m.sha256", entries, badLines)) << file.pszCase;
        EXPECT_TRUE(badLines.empty()) << file.pszCase;
        ASSERT_EQ(entries.size(), names.size()) << file.pszCase;
        std::vector<CListedPair> listing = ManifestListing(entries);
        ASSERT_EQ(listing.size(), entries.size());
        for (size_t i = 0; i < names.size(); ++i)
        {
            const CManifestEntry* pEntry = FindManifestEntry(entries, names[i]);
            ASSERT_NE(pEntry, nullptr) << file.pszCase << " " << i;
            EXPECT_EQ(pEntry->nLine, i + 1) << file.pszCase;
            EXPECT_EQ(Hex(pEntry->digest), Hex(Digest32(static_cast<BYTE>(i * 32)).b)) << file.pszCase << " " << i;
            // Side 0 of a listing, in the entries' order, which is the listing's own: by code unit.
            EXPECT_EQ(std::wstring(listing[i].strName), entries[i].name);
            EXPECT_TRUE(listing[i].kind[0] == EListed::kFile && listing[i].kind[1] == EListed::kNone);
            EXPECT_TRUE(listing[i].strPath[0].IsEmpty());
            if (i > 0)
            {
                EXPECT_LT(listing[i - 1].strName.Compare(listing[i].strName), 0);
            }
        }
        EXPECT_EQ(FindManifestEntry(entries, L"PLAIN.TXT"), nullptr);
    }
}

TEST(ReadManifest, MalformedLinesAreNamedByNumberAndTheOthersRead)
{
    const std::string hex(kDigestHex);
    const struct
    {
        std::string line;
        const wchar_t* pszName;  // the entry it gives; null for a malformed line, "" for one skipped
    } kLines[] = {
        {hex + "  good.txt", L"good.txt"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1g  bad-hex.txt", nullptr},
        {hex.substr(0, 63) + "  short.txt", nullptr},
        {hex, nullptr},
        {hex + "  ", nullptr},
        {hex + " one-space.txt", nullptr},
        {"", L""},
        {"# a comment", L""},
        {hex + "  ../outside.txt", nullptr},
        {hex + "  sub/../../outside.txt", nullptr},
        {hex + "  /etc/passwd", nullptr},
        {hex + "  C:/Windows/win.ini", nullptr},
        {hex + "  a//b", nullptr},
        {hex + "  ./here.txt", nullptr},
        {hex + "  sub/", nullptr},
        {hex + "  file.txt:stream", nullptr},
        {hex + "  raw\\backslash", nullptr},
        {"\\" + hex + "  tab\\tname", nullptr},
        {"\\" + hex + "  ends\\", nullptr},
        {hex + "  bad\xFFutf8", nullptr},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F *binary.txt", L"binary.txt"},
        {hex + "  good.txt", nullptr},
        {"\\" + hex + "  esc\\\\aped", nullptr},
        {hex + "  nul" + std::string(1, '\0') + "inside", nullptr},
        {hex + "  sub/deeper/ok.txt", L"sub\\deeper\\ok.txt"},
        {"\\" + hex + "  two\\nlines", L"two\nlines"},
    };
    std::string text;
    std::vector<size_t> expectedBad;
    std::map<std::wstring, size_t> expected;
    for (size_t i = 0; i < std::size(kLines); ++i)
    {
        text += kLines[i].line + "\n";
        if (!kLines[i].pszName)
            expectedBad.push_back(i + 1);
        else if (*kLines[i].pszName)
            expected[kLines[i].pszName] = i + 1;
    }
    text += hex + "  last.txt";  // without a line end
    expected[L"last.txt"] = std::size(kLines) + 1;

    TempDir dir;
    WriteString(dir / L"m.sha256", text);
    std::vector<CManifestEntry> entries;
    std::vector<size_t> badLines;
    ASSERT_TRUE(ReadManifest(dir / L"m.sha256", entries, badLines));
    EXPECT_EQ(badLines, expectedBad);
    std::map<std::wstring, size_t> read;
    for (const CManifestEntry& entry : entries)
    {
        read[entry.name] = entry.nLine;
        EXPECT_EQ(Hex(entry.digest), kDigestHex);
    }
    EXPECT_EQ(read, expected);
}

// tavik-verify.exe itself, run as a child process.

const UINT64 kSparseSize = 0x100000000ull + kSlot + 1;
const UINT64 k4GiB = 0x100000000ull;
const struct
{
    const wchar_t* pszName;
    UINT64 nSize;
} kSizes[] = {{L"empty", 0}, {L"one", 1}, {L"slot", kSlot}, {L"slot-and-one", kSlot + 1}, {L"sparse-4g", kSparseSize}};

// Folder 2 for the files of folder 1, by one letter per file of kSizes: the same ('S'), differing in the last
// byte or just past 4 GiB ('D'), a byte longer ('Z'), or missing ('O').
void MakeFolder2(const std::wstring& from, const std::wstring& to, const char* pszRoles)
{
    MakeDir(to);
    for (size_t i = 0; i < std::size(kSizes); ++i)
    {
        const std::wstring name = kSizes[i].pszName;
        const char role = pszRoles[i];
        if (role == 'O')
            continue;
        if (kSizes[i].nSize == kSparseSize)
        {
            // The native step's bytes, made the same way: a hole with four bytes in it.
            MakeSparse(to + name, kSparseSize + (role == 'Z'));
            for (const UINT64 at : {UINT64{0}, k4GiB - 1, k4GiB, kSparseSize - 1})
                if (role != 'D' || at != k4GiB)
                    PokeByte(to + name, at, 0x5a);
            continue;
        }
        std::string bytes = ReadText(from + name);
        if (role == 'D')
            bytes.back() = static_cast<char>(~bytes.back());
        if (role == 'Z')
            bytes += 'x';
        WriteString(to + name, bytes);
    }
}

// The manifest a run writes is hashlib's, line for line, for every size around a slot and past 4 GiB: whether a
// file is compared, differs (and is read on to its end), has another size or is only in folder 1; at depth 1 and
// at the device's own, fast and buffered. The four runs go at once: each hashes 4 GiB with Wine's own SHA-256,
// which on a busy machine takes all four nearly three minutes together; the bound is far above that.
TEST(VerifyManifest, EverySizeAndEveryVerdictAsHashlibHasIt)
{
    const std::wstring sizes = NativeFiles() + L"sizes\\";
    const std::string expected = ReadText(NativeFiles() + L"sizes.sha256");
    ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'), 5);
    const struct
    {
        std::vector<std::wstring> options;
        const char* pszRoles;
        const wchar_t* pszReadForManifest;  // the summary's bytes read for the manifest alone
    } kRuns[] = {
        {{L"--depth", L"1"}, "SDZOS", L"2.10 MB"},
        {{L"--depth", L"1", L"--buffered"}, "ZOSDZ", L"4.30 GB"},
        {{}, "OSDZO", L"4.30 GB"},
        {{L"--buffered"}, "SZOSD", L"1.05 MB"},
    };
    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<std::unique_ptr<Child>> runs;
    for (const auto& run : kRuns)
    {
        dirs.push_back(std::make_unique<TempDir>());
        MakeFolder2(sizes, *dirs.back() / L"2\\", run.pszRoles);
        std::vector<std::wstring> args = run.options;
        args.insert(args.end(), {L"--manifest", *dirs.back() / L"sums.sha256", sizes, *dirs.back() / L"2"});
        runs.push_back(std::make_unique<Child>(args));
    }
    for (size_t k = 0; k < std::size(kRuns); ++k)
    {
        const auto& run = kRuns[k];
        SCOPED_TRACE(run.pszRoles);
        const Result r = runs[k]->Finish(1500000);
        const bool bBuffered = std::find(run.options.begin(), run.options.end(), L"--buffered") != run.options.end();
        const std::wstring mode = bBuffered ? L"normal" : L"fast";
        std::vector<Row> rows;
        for (size_t i = 0; i < std::size(kSizes); ++i)
        {
            const std::wstring name = kSizes[i].pszName;
            const UINT64 n = kSizes[i].nSize;
            switch (run.pszRoles[i])
            {
            case 'S':
                rows.push_back({L"same", name, N(n), N(n), mode, L""});
                break;
            case 'D':
                rows.push_back({L"differs", name, N(n), N(n), mode, N(n == kSparseSize ? k4GiB : n - 1)});
                break;
            case 'Z':
                rows.push_back({L"size", name, N(n), N(n + 1), L"", L""});
                break;
            default:
                rows.push_back({L"only1", name, N(n), L"", L"", L""});
                break;
            }
        }
        ExpectRows(r, "tsv", rows);
        EXPECT_EQ(r.exitCode, 1u);
        EXPECT_EQ(ReadText(*dirs[k] / L"sums.sha256"), expected);
        EXPECT_NE(r.Err().find(LoadText(IDS_CLI_MANIFEST_LINES, L"5", run.pszReadForManifest)), std::wstring::npos) << r.err;
    }
}

// The tree of odd names the native step made. The manifest a run writes of it is checked by coreutils afterwards
// (the ctest step manifest_sha256sum: every line OK, and the very lines sha256sum writes for the files Win32 can
// open). Names with a newline or a carriage return are listed but cannot be opened (Win32 refuses control
// characters in names, and so does Wine): they get no line, and an error each. coreutils' own manifests of the
// tree, escaped lines and binary mode included, audit it as the same files.
TEST(VerifyManifest, ATreeOfOddNamesAsCoreutilsChecksAndWritesIt)
{
    const std::wstring dir = NativeFiles();
    // An empty folder 2: every file is read for the manifest alone.
    TempDir empty;
    const Result written = RunVerify({L"-r", L"--manifest", dir + L"tavik.sha256", dir + L"tree", empty.Path()});
    EXPECT_EQ(written.exitCode, 2u);
    for (const wchar_t* pszName : {L"cr\\u000dname.txt", L"new\\u000aline.txt"})
        EXPECT_NE(written.Err().find(LoadText(IDS_CLI_MANIFEST_NO_LINE, pszName)), std::wstring::npos) << written.err;
    EXPECT_NE(written.Err().find(LoadText(IDS_CLI_MANIFEST_LINES, L"9", L"15 B")), std::wstring::npos) << written.err;

    const std::vector<Row> audit = {
        {L"same", L" leading and trailing ", L"", L"2", L"fast", L""},
        {L"same", L"#hash.txt", L"", L"1", L"fast", L""},
        {L"same", L"-dash.txt", L"", L"3", L"fast", L""},
        {L"cannot-open", L"back\\slash.txt", L"", L"2", L"", L"name"},
        {L"cannot-open", L"cr\rname.txt", L"", L"6", L"", L"name"},
        {L"same", L"emoji \xD83D\xDE00.txt", L"", L"1", L"fast", L""},
        {L"same", L"empty", L"", L"0", L"fast", L""},
        {L"cannot-open", L"k\\l\\", L"", L"", L"", L"name"},
        {L"cannot-open", L"new\nline.txt", L"", L"5", L"", L"name"},
        {L"same", L"space name.txt", L"", L"1", L"fast", L""},
        {L"same", L"sub\\a b\\c.txt", L"", L"2", L"fast", L""},
        {L"same", L"sub\\深い\\nested.txt", L"", L"1", L"fast", L""},
        {L"same", L"日本語のファイル.txt", L"", L"4", L"fast", L""},
    };
    for (const wchar_t* pszManifest : {L"coreutils.sha256", L"coreutils-binary.sha256"})
    {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(pszManifest)));
        const Result r = RunVerify({L"-r", L"--check", dir + pszManifest, dir + L"tree"});
        ExpectRows(r, "tsv", audit);
        EXPECT_EQ(r.exitCode, 2u);
    }
}

// FILE is written under a temporary name beside it and put in its place only by a run that ends normally:
// Ctrl+C, a folder that cannot be listed and a rename that fails leave FILE as it was and no temporary file; a
// FILE in a missing folder fails before anything is read. A file that cannot be opened, compared or only in
// folder 1, gets no line and an error naming it.
TEST(VerifyManifest, OnlyARunThatEndsNormallyReplacesTheFile)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    const int nFiles = 400;
    for (int i = 0; i < nFiles; ++i)
        s.Both(L"f" + std::to_wstring(1000 + i), Pattern(4000 + i, i));
    TempDir m;
    const std::wstring file = m / L"sums.sha256";
    WriteString(file, "old\n");
    MakeDir(m / L"folder.sha256");
    const std::vector<std::wstring> kLeft = {L"folder.sha256", L"sums.sha256"};
    {
        // A read of folder 2's copy that does not return: the run waits there, folder 1's readers ahead of it.
        FaultRules rules;
        rules.Stall(s.b + L"f1300", 120);
        Child child(s.Args({L"--progress", L"--manifest", file}), std::wstring(), CREATE_NEW_PROCESS_GROUP);
        ASSERT_TRUE(child.Err().WaitFor([](const std::string& err) { return err.find("f1300") != std::string::npos; }, 60000));
        const std::wstring temp = L"sums.sha256.tavik-" + std::to_wstring(child.Info().dwProcessId) + L".tmp";
        EXPECT_EQ(FolderNames(m.Path()), (std::vector<std::wstring>{L"folder.sha256", L"sums.sha256", temp}));
        SendCtrlBreak(child.Info());
        const Result broken = child.Finish(20000);
        EXPECT_EQ(broken.exitCode, 3u);
        EXPECT_NE(broken.Err().find(LoadText(IDS_CLI_MANIFEST_BROKEN, file)), std::wstring::npos) << broken.err;
        EXPECT_EQ(ReadText(file), "old\n");
        EXPECT_EQ(FolderNames(m.Path()), kLeft);

        // Known at once: a run that read anything would reach the stalled file and not end in time.
        const std::wstring missing = m / L"missing\\sums.sha256";
        const Result r = Child({L"--manifest", missing, s.a, s.b}).Finish(20000);
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_TRUE(r.out.empty()) << r.out.size();
        EXPECT_NE(r.Err().find(LoadText(IDS_CLI_MANIFEST_CANNOT_WRITE, missing)), std::wstring::npos) << r.err;
    }
    const struct
    {
        const char* pszCase;
        std::wstring file, folder2;
        bool bNamed;  // the error names FILE
    } kEarlyEnds[] = {
        {"folder 2 cannot be listed", file, s.dir / L"missing", false},
        {"FILE a folder, which no rename replaces", m / L"folder.sha256", s.b, true},
    };
    for (const auto& end : kEarlyEnds)
    {
        SCOPED_TRACE(end.pszCase);
        const Result r = RunVerify({L"--manifest", end.file, s.a, end.folder2});
        EXPECT_EQ(r.exitCode, 2u);
        if (end.bNamed)
        {
            EXPECT_NE(r.Err().find(LoadText(IDS_CLI_MANIFEST_CANNOT_WRITE, end.file)), std::wstring::npos) << r.err;
        }
        EXPECT_EQ(ReadText(file), "old\n");
        EXPECT_EQ(FolderNames(m.Path()), kLeft);
    }

    s.Both(L"locked", Pattern(10, 1));
    WriteBytes(s.a + L"locked-only1", Pattern(20, 2));
    for (const wchar_t* pszHeld : {L"locked", L"locked-only1"})
    {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(pszHeld)));
        ExclusiveHold hold(s.a + pszHeld);
        const Result r = RunVerify(s.Args({L"--manifest", file}));
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_NE(r.Err().find(LoadText(IDS_CLI_MANIFEST_NO_LINE, pszHeld)), std::wstring::npos) << r.err;
        EXPECT_EQ(FolderNames(m.Path()), kLeft);
    }
    // The last FILE holds folder 1 whole but for the file that could not be read.
    std::vector<Row> rows;
    for (int i = 0; i < nFiles; ++i)
        rows.push_back({L"same", L"f" + std::to_wstring(1000 + i), L"", N(4000 + i), L"fast", L""});
    rows.push_back({L"same", L"locked", L"", L"10", L"fast", L""});
    rows.push_back({L"only2", L"locked-only1", L"", L"20", L"", L""});
    const Result audit = RunVerify({L"--check", file, s.a});
    ExpectRows(audit, "tsv", rows);
    EXPECT_EQ(audit.exitCode, 1u);
}

// The forms Wine cannot reach as files (shares): a path made whole once, then taken literally.
TEST(FullPath, EveryFormAUserTypesIsMadeWholeOnce)
{
    const struct
    {
        const wchar_t* pszGiven;
        const wchar_t* pszWhole;
    } cases[] = {
        {L"C:/jobs/logs/../sums.sha256", L"C:\\jobs\\sums.sha256"},
        {L"\\\\server\\share\\logs\\..\\sums", L"\\\\server\\share\\sums"},
        {L"//server/share/logs/../sums", L"\\\\server\\share\\sums"},
        {L"\\\\?\\UNC\\server\\share\\logs\\..\\sums", L"\\\\server\\share\\logs\\..\\sums"},
        {L"\\\\?\\C:\\jobs\\x.", L"C:\\jobs\\x."},
        {L"\\\\?\\Volume{0}\\x", L"\\\\?\\Volume{0}\\x"},
        {L"\\\\.\\C:\\jobs\\logs\\..\\x", L"C:\\jobs\\x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FullPath(c.pszGiven), c.pszWhole) << ::testing::PrintToString(std::wstring(c.pszGiven));
}

// The manifest's path is taken as a folder's is: relative, with "/", with "..", in the literal and the device
// forms, both for writing it and for --check.
TEST(VerifyManifest, ItsPathIsTakenAsTheFoldersAre)
{
    Sides s;
    s.Both(L"x", Pattern(100, 1));
    s.Both(L"y", Pattern(5, 2));
    TempDir m;
    MakeDir(m / L"logs");
    const std::wstring file = m / L"sums.sha256";
    ASSERT_EQ(RunVerify({L"--manifest", file, s.a, s.b}).exitCode, 0u);
    const std::string expected = ReadText(file);
    std::wstring slashed = m / L"logs/../sums.sha256";
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    const struct
    {
        const char* pszCase;
        std::wstring path, cwd;
    } cases[] = {
        {"relative", L"sums.sha256", m.Path()},
        {"relative with ..", L"logs\\..\\sums.sha256", m.Path()},
        {"..", m / L"logs\\..\\sums.sha256", L""},
        {"slashes", slashed, L""},
        {"literal", L"\\\\?\\" + file, L""},
        {"device", L"\\\\.\\" + m / L"logs\\..\\sums.sha256", L""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszCase);
        ASSERT_TRUE(::DeleteFileW(file.c_str()));
        const Result r = RunVerify({L"--manifest", c.path, s.a, s.b}, c.cwd);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(ReadText(file), expected);
        EXPECT_EQ(FolderNames(m.Path()), (std::vector<std::wstring>{L"logs", L"sums.sha256"}));
        const Result check = RunVerify({L"--check", c.path, s.b}, c.cwd);
        EXPECT_EQ(check.exitCode, 0u) << check.err;
    }
}

// Two options that name one file, however the path is written, are bad usage: nothing is read or written, and the
// manifest audited or replaced stays as it was.
TEST(VerifyManifest, TwoOptionsNamingOneFileWriteNothing)
{
    Sides s;
    s.Both(L"x", Pattern(100, 1));
    TempDir m;
    const std::wstring file = m / L"sums.sha256", link = m / L"link.sha256";
    ASSERT_EQ(RunVerify({L"--manifest", file, s.a, s.b}).exitCode, 0u);
    const std::string sums = ReadText(file);
    ASSERT_TRUE(::CreateHardLinkW(link.c_str(), file.c_str(), nullptr)) << ::GetLastError();
    std::wstring slashed = file;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    const struct
    {
        const char* pszCase;
        std::vector<std::wstring> args;
        std::wstring cwd;
    } cases[] = {
        {"--check X --report X", {L"--check", file, L"--report", file, s.b}, L""},
        {"--manifest X --report X", {L"--manifest", file, L"--report", file, s.a, s.b}, L""},
        {"case", {L"--manifest", file, L"--report", m / L"SUMS.SHA256", s.a, s.b}, L""},
        {"slashes", {L"--report", slashed, L"--check", file, s.b}, L""},
        {".\\", {L"--report", L".\\sums.sha256", L"--manifest", L"sums.sha256", s.a, s.b}, m.Path()},
        {"hard link", {L"--check", link, L"--report", file, s.b}, L""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszCase);
        const Result r = RunVerify(c.args, c.cwd);
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_TRUE(r.out.empty()) << r.out;
        const bool bCheck = c.args[0] == L"--check" || c.args[2] == L"--check";
        EXPECT_NE(r.Err().find(LoadText(IDS_CLI_SAME_FILE, bCheck ? L"--check" : L"--manifest", L"--report")), std::wstring::npos)
            << r.err;
        EXPECT_EQ(ReadText(file), sums);
        EXPECT_EQ(FolderNames(m.Path()), (std::vector<std::wstring>{L"link.sha256", L"sums.sha256"}));
    }
}

// A manifest that is not put in place says so, with the reason, and the summary counts no lines for it. A folder of
// folder 1 that folder 2 cannot list is named as having no lines below it; the manifest holds the rest.
TEST(VerifyManifest, AManifestNotPutInPlaceOrWithoutLinesBelowAFolderSaysSo)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    s.Both(L"a", Pattern(10, 1));
    WriteBytes(s.a + L"b", Pattern(10, 2));
    WriteBytes(s.b + L"b", Pattern(10, 3));
    MakeDir(s.a + L"sub");
    MakeDir(s.b + L"sub");
    s.Both(L"sub\\f", Pattern(5, 4));
    TempDir m;
    const std::wstring file = m / L"sums.sha256";
    // The summary's words for the lines, without their figures.
    const std::wstring counted = [] {
        const std::wstring t = LoadText(IDS_CLI_MANIFEST_LINES, L"\x1", L"\x2");
        return t.substr(t.find(L'\x1') + 1, t.find(L'\x2') - t.find(L'\x1') - 1);
    }();
    const struct
    {
        const char* pszCase;
        std::vector<std::wstring> args;
        UINT nSaid;
        DWORD dwStatus;
    } cases[] = {
        {"stopped at a difference", {L"--stop-on-diff", L"--manifest", file, s.a, s.b}, IDS_CLI_MANIFEST_STOPPED, 1},
        {"folder 2 cannot be listed", {L"--manifest", file, s.a, s.dir / L"missing"}, IDS_CLI_MANIFEST_TROUBLE, 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszCase);
        const Result r = RunVerify(c.args);
        EXPECT_EQ(r.exitCode, c.dwStatus);
        EXPECT_NE(r.Err().find(LoadText(c.nSaid, file)), std::wstring::npos) << r.err;
        EXPECT_EQ(r.Err().find(counted), std::wstring::npos) << r.err;
        EXPECT_EQ(FolderNames(m.Path()), std::vector<std::wstring>{});
    }
    FaultRules rules;
    rules.ListFail(s.b + L"sub", 0);
    const Result r = RunVerify({L"-r", L"--manifest", file, s.a, s.b});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_NE(r.Err().find(LoadText(IDS_CLI_MANIFEST_NO_LINES_BELOW, L"sub\\")), std::wstring::npos) << r.err;
    EXPECT_NE(r.Err().find(counted), std::wstring::npos) << r.err;
    const std::string sums = ReadText(file);
    EXPECT_NE(sums.find("  a\n"), std::string::npos) << sums;
    EXPECT_NE(sums.find("  b\n"), std::string::npos) << sums;
}

// Ctrl+C ends the run within half a second also while the writer of its manifest or report waits for a folder that
// stopped answering; the old file stays as it was, and the temporary one goes with the process.
TEST(VerifyManifest, CtrlCEndsAtOnceWhereAnOutputFolderStopsAnswering)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    s.Both(L"x", Pattern(100, 1));
    char unix[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableA("TAVIK_FAULT_LOG", unix, sizeof unix);
    ASSERT_TRUE(n > 0 && n < sizeof unix);
    const std::wstring log = FromUnix(unix);
    for (const wchar_t* pszOption : {L"--manifest", L"--report"})
    {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(pszOption)));
        TempDir m;
        const std::wstring file = m / L"out";
        WriteString(file, "old\n");
        ::DeleteFileW(log.c_str());
        Result r;
        ULONGLONG nMs = 0;
        {
            FaultRules rules;
            rules.WriteHold(m.Path());
            Child child(s.Args({pszOption, file}), std::wstring(), CREATE_NEW_PROCESS_GROUP);
            ASSERT_TRUE(PumpUntil([&] { return ReadText(log).find("write held") != std::string::npos; }, 60000));
            SendCtrlBreak(child.Info());
            const ULONGLONG t0 = ::GetTickCount64();
            EXPECT_EQ(::WaitForSingleObject(child.Info().hProcess, 30000), WAIT_OBJECT_0);
            nMs = ::GetTickCount64() - t0;
            r = child.Finish();
        }
        EXPECT_EQ(r.exitCode, 3u);
        EXPECT_LE(nMs, 500u);
        const UINT nSaid = wcscmp(pszOption, L"--manifest") == 0 ? IDS_CLI_MANIFEST_BROKEN : IDS_CLI_REPORT_BROKEN;
        EXPECT_NE(r.Err().find(LoadText(nSaid, file)), std::wstring::npos) << r.err;
        EXPECT_EQ(ReadText(file), "old\n");
        EXPECT_EQ(FolderNames(m.Path()), std::vector<std::wstring>{L"out"});
    }
    ::DeleteFileW(log.c_str());
}

namespace
{
// A rename refused g_nRefusals times with g_dwRefusal, then done, as a virus scanner that lets go would have it.
int g_nRefusals = 0;
DWORD g_dwRefusal = 0;
int g_nMoves = 0;
BOOL WINAPI RefusingMove(LPCWSTR pszFrom, LPCWSTR pszTo, DWORD dwFlags)
{
    if (++g_nMoves <= g_nRefusals)
    {
        ::SetLastError(g_dwRefusal);
        return FALSE;
    }
    return ::MoveFileExW(pszFrom, pszTo, dwFlags);
}
}

// A rename refused for a while (sharing violation, access denied) is tried again for a few seconds; where it stays
// refused, or fails otherwise, the finished file stays under its temporary name and the old manifest as it was.
TEST(ManifestWriter, ARefusedRenameIsTriedAgainAndAFinishedFileNeverLost)
{
    const std::string line = "0000000000000000000000000000000000000000000000000000000000000000  x\n";
    const struct
    {
        int nRefusals;
        DWORD dwRefusal;
        bool bRenamed;
        int nMoves;
    } cases[] = {
        {0, 0, true, 1},
        {3, ERROR_SHARING_VIOLATION, true, 4},
        {3, ERROR_ACCESS_DENIED, true, 4},
        {1, ERROR_PATH_NOT_FOUND, false, 1},  // no other program to wait for
        {1000, ERROR_SHARING_VIOLATION, false, 10},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.nRefusals << " refusals with " << c.dwRefusal);
        TempDir d;
        const std::wstring target = d / L"sums.sha256";
        WriteString(target, "old\n");
        g_nRefusals = c.nRefusals;
        g_dwRefusal = c.dwRefusal;
        g_nMoves = 0;
        CManifestWriter writer(RefusingMove);
        ASSERT_TRUE(writer.Open(target));
        const std::wstring temp = writer.TempPath();
        ASSERT_TRUE(writer.Add(line));
        EXPECT_EQ(writer.Commit(), c.bRenamed);
        EXPECT_EQ(g_nMoves, c.nMoves);
        EXPECT_EQ(ReadText(target), c.bRenamed ? line : "old\n");
        if (c.bRenamed)
        {
            EXPECT_TRUE(writer.KeptPath().empty());
            EXPECT_EQ(FolderNames(d.Path()), std::vector<std::wstring>{L"sums.sha256"});
            continue;
        }
        EXPECT_EQ(writer.Error(), c.dwRefusal);
        EXPECT_EQ(L"\\\\?\\" + writer.KeptPath(), temp);
        EXPECT_EQ(ReadText(temp), line);
        writer.Abandon();  // the kept file is the user's now
        EXPECT_EQ(ReadText(temp), line);
    }
}

// Through the program: an old manifest held open by another program for good leaves the new one whole under its
// temporary name, which the error names; a read-only one is refused before anything is read.
TEST(VerifyManifest, AnOldManifestHeldOrReadOnlyLosesNoDigests)
{
    Sides s;
    s.Both(L"x", Pattern(100, 1));
    TempDir m;
    const std::wstring file = m / L"sums.sha256";
    ASSERT_EQ(RunVerify({L"--manifest", file, s.a, s.b}).exitCode, 0u);
    const std::string expected = ReadText(file);
    WriteString(file, "old\n");
    {
        // Held without delete sharing, which Windows needs to replace a file.
        ExclusiveHold hold(file);
        Child child({L"--manifest", file, s.a, s.b});
        const std::wstring temp = file + L".tavik-" + std::to_wstring(child.Info().dwProcessId) + L".tmp";
        const Result r = child.Finish(60000);
        EXPECT_EQ(r.exitCode, 2u);
        ExpectRows(r, "tsv", {{L"same", L"x", L"100", L"100", L"fast", L""}});
        EXPECT_NE(r.Err().find(LoadText(IDS_CLI_MANIFEST_KEPT, file, temp)), std::wstring::npos) << r.err;
        EXPECT_EQ(ReadText(temp), expected);
        ASSERT_TRUE(::DeleteFileW(temp.c_str()));
    }
    EXPECT_EQ(ReadText(file), "old\n");
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    const Result r = RunVerify({L"--manifest", file, s.a, s.b});
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.Err().find(LoadText(IDS_CLI_MANIFEST_READ_ONLY, file)), std::wstring::npos) << r.err;
    EXPECT_EQ(FolderNames(m.Path()), std::vector<std::wstring>{L"sums.sha256"});
    EXPECT_EQ(ReadText(file), "old\n");
}

// Closing the console, a log-off and a shutdown end the run at once, with the status of an interrupted run, and
// the temporary manifest and report go with the process, as they do when it is killed outright; FILE stays as it
// was.
TEST(VerifyManifest, ConsoleCloseLogOffShutdownAndAKillLeaveNoTemporaryFile)
{
    ASSERT_TRUE(FaultRules::Available());
    Sides s;
    for (int i = 0; i < 4; ++i)
        s.Both(L"f" + std::to_wstring(i), Pattern(4000 + i, i));
    TempDir m;
    const std::wstring file = m / L"sums.sha256";
    WriteString(file, "old\n");
    const DWORD kKill = 0xFFFF;
    for (DWORD dwEvent : {DWORD(CTRL_CLOSE_EVENT), DWORD(CTRL_LOGOFF_EVENT), DWORD(CTRL_SHUTDOWN_EVENT), kKill})
    {
        SCOPED_TRACE(dwEvent);
        FaultRules rules;
        rules.Stall(s.b + L"f2", 120);
        Child child(s.Args({L"--progress", L"--manifest", file, L"--report", m / L"page.html"}), std::wstring(),
                    CREATE_NEW_PROCESS_GROUP);
        ASSERT_TRUE(child.Err().WaitFor([](const std::string& err) { return err.find("f2") != std::string::npos; }, 60000));
        EXPECT_EQ(FolderNames(m.Path()).size(), 3u);
        if (dwEvent == kKill)
            ::TerminateProcess(child.Info().hProcess, 3);
        else
            SendCtrlEvent(child.Info(), dwEvent);
        const Result r = child.Finish(20000);
        EXPECT_EQ(r.exitCode, 3u);
        EXPECT_EQ(FolderNames(m.Path()), std::vector<std::wstring>{L"sums.sha256"});
        EXPECT_EQ(ReadText(file), "old\n");
    }
}

// Windows tells a console program that loads user32 or gdi32 of neither a log-off nor a shutdown, so the events
// above would never come there: the program must not import them.
TEST(VerifyManifest, TheProgramImportsNeitherUser32NorGdi32)
{
    const HMODULE hImage = ::LoadLibraryExW(VerifyExe().c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_TRUE(hImage) << ::GetLastError();
    const BYTE* pBase = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(hImage) & ~static_cast<ULONG_PTR>(3));
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<std::string> names;
    for (auto* p = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pBase + dir.VirtualAddress); dir.VirtualAddress && p->Name; ++p)
    {
        std::string name(reinterpret_cast<const char*>(pBase + p->Name));
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(::tolower(c)); });
        names.push_back(name);
    }
    ::FreeLibrary(hImage);
    EXPECT_NE(std::find(names.begin(), names.end(), "kernel32.dll"), names.end());
    for (const char* pszName : {"user32.dll", "gdi32.dll"})
        EXPECT_EQ(std::find(names.begin(), names.end(), pszName), names.end()) << pszName;
}

// A second Ctrl+C ends the run at once, also where the first cannot (here: its rows are not read, so it waits to
// write them), and takes the temporary manifest along.
TEST(VerifyManifest, ASecondBreakEndsAtOnceWithoutTheTemporaryFile)
{
    Sides s;
    const std::wstring longName(200, L'n');
    for (int i = 0; i < 600; ++i)
        s.Both(longName + std::to_wstring(1000 + i), {});
    TempDir m;
    const std::wstring file = m / L"sums.sha256";
    WriteString(file, "old\n");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE hRead = nullptr, hWrite = nullptr;
    ASSERT_TRUE(::CreatePipe(&hRead, &hWrite, &inherit, 0));
    ::SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    {
        Child child(s.Args({L"--manifest", file}), std::wstring(), CREATE_NEW_PROCESS_GROUP, VerifyExe(), hWrite);
        ::CloseHandle(hWrite);
        DWORD nWaiting = 0;
        ASSERT_TRUE(PumpUntil([&] { return ::PeekNamedPipe(hRead, nullptr, 0, nullptr, &nWaiting, nullptr) && nWaiting > 0; }, 60000));
        EXPECT_EQ(FolderNames(m.Path()).size(), 2u);
        SendCtrlBreak(child.Info());
        SendCtrlBreak(child.Info());
        const Result r = child.Finish(20000);
        EXPECT_EQ(r.exitCode, 3u);
        EXPECT_EQ(FolderNames(m.Path()), std::vector<std::wstring>{L"sums.sha256"});
        EXPECT_EQ(ReadText(file), "old\n");
    }
    ::CloseHandle(hRead);
}

// Copies a tree, and gives the size of each of its files by the file's name in the tree.
void CopyTree(const std::wstring& from, const std::wstring& to, std::map<std::wstring, UINT64>& files,
              const std::wstring& prefix = std::wstring())
{
    MakeDir(to + prefix);
    for (const std::wstring& name : FolderNames(from + prefix))
    {
        const std::wstring rel = prefix + name;
        WIN32_FILE_ATTRIBUTE_DATA fa;
        ASSERT_TRUE(::GetFileAttributesExW(Literal(from + rel).c_str(), GetFileExInfoStandard, &fa));
        if (fa.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            CopyTree(from, to, files, rel + L"\\");
        else
        {
            ASSERT_TRUE(::CopyFileW(Literal(from + rel).c_str(), Literal(to + rel).c_str(), TRUE));
            files[rel] = static_cast<UINT64>(fa.nFileSizeHigh) << 32 | fa.nFileSizeLow;
        }
    }
}

// A backup of a real tree, verified with a manifest and then changed in four places: an audit finds a flipped
// byte, a truncated file, a deleted and an added one, and nothing else. A malformed line is named by its number
// and the others are audited all the same; a manifest that cannot be read is trouble before anything is read.
TEST(VerifyCheck, ARealTreeChangedInFourPlacesShowsThoseFour)
{
    TempDir dir;
    const std::wstring real = NativeFiles() + L"real\\", copy = dir / L"copy\\", manifest = dir / L"sums.sha256";
    std::map<std::wstring, UINT64> files;
    CopyTree(real, copy, files);
    ASSERT_GE(files.size(), 200u);
    std::map<std::wstring, Row> rows;
    for (const auto& [name, size] : files)
        rows[name] = {L"same", name, N(size), N(size), L"fast", L""};
    auto list = [&rows] {
        std::vector<Row> v;
        for (const auto& entry : rows)
            v.push_back(entry.second);
        return v;
    };
    const Result verified = RunVerify({L"-r", L"--manifest", manifest, real, copy});
    ExpectRows(verified, "tsv", list());
    EXPECT_EQ(verified.exitCode, 0u);

    std::vector<std::wstring> names;
    for (const auto& entry : files)
        names.push_back(entry.first);
    for (auto& entry : rows)
        entry.second = {L"same", entry.first, L"", N(files[entry.first]), L"fast", L""};
    const std::wstring flipped = names[10], truncated = names[20], deleted = names[30];
    const std::wstring added = names[0].substr(0, names[0].find_last_of(L'\\') + 1) + L"added.mo";
    std::string bytes = ReadText(copy + flipped);
    ASSERT_FALSE(bytes.empty());
    bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
    WriteString(copy + flipped, bytes);
    rows[flipped].verdict = L"differs";
    bytes = ReadText(copy + truncated);
    WriteString(copy + truncated, bytes.substr(0, bytes.size() / 2));
    rows[truncated] = {L"differs", truncated, L"", N(bytes.size() / 2), L"fast", L""};
    ASSERT_TRUE(::DeleteFileW(Literal(copy + deleted).c_str()));
    rows[deleted] = {L"only1", deleted, L"", L"", L"", L""};
    WriteString(copy + added, "added\n");
    rows[added] = {L"only2", added, L"", L"6", L"", L""};
    const Result audited = RunVerify({L"-r", L"--check", manifest, copy});
    ExpectRows(audited, "tsv", list());
    EXPECT_EQ(audited.exitCode, 1u);

    // The line in the middle broken: its file is one the manifest does not hold.
    std::string text = ReadText(manifest);
    size_t nAt = 0;
    const size_t nLine = names.size() / 2;
    for (size_t i = 0; i < nLine; ++i)
        nAt = text.find('\n', nAt) + 1;
    text.replace(nAt, text.find('\n', nAt) - nAt, "not a line of a manifest");
    WriteString(dir / L"broken.sha256", text);
    const std::wstring lost = names[nLine];
    rows[lost] = {L"only2", lost, L"", N(files[lost]), L"", L""};
    const Result broken = RunVerify({L"-r", L"--check", dir / L"broken.sha256", copy});
    ExpectRows(broken, "tsv", list());
    EXPECT_EQ(broken.exitCode, 2u);
    EXPECT_NE(broken.Err().find(LoadText(IDS_CLI_MANIFEST_BAD_LINE, std::to_wstring(nLine + 1))), std::wstring::npos) << broken.err;

    // Missing, or failing to read at its second slot.
    ASSERT_TRUE(FaultRules::Available());
    std::string big;
    for (int i = 0; big.size() < 2 * kSlot; ++i)
        big += ManifestLine(Digest32(static_cast<BYTE>(i)).b, L"file " + std::to_wstring(i));
    WriteString(dir / L"big.sha256", big);
    FaultRules rules;
    rules.Eio(dir / L"big.sha256", kSlot);
    for (const std::wstring& unreadable : {dir / L"missing.sha256", dir / L"big.sha256"})
    {
        const Result r = RunVerify({L"-r", L"--check", unreadable, copy});
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_TRUE(r.out.empty()) << r.out.size();
        EXPECT_NE(r.Err().find(LoadText(IDS_CLI_MANIFEST_CANNOT_READ, unreadable)), std::wstring::npos) << r.err;
    }
}
}
