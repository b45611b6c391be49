// SHA-256 over CNG and the manifest: digests against FIPS 180 and Python's hashlib on real files, sha256sum's line
// format both ways, the writer's all-or-nothing rename, and a manifest of odd names that coreutils checks natively.
#include "FileAccess.h"
#include "FolderListing.h"
#include "Manifest.h"
#include "Sha256.h"
#include "TestSupport.h"
#include <gtest/gtest.h>
#include <atomic>
#include <map>

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

// Read as the verifier reads: one slot at a time.
bool HashFile(CSha256& sha, const std::wstring& path, BYTE digest[32])
{
    HANDLE h = FileAccess::OpenDiskFile(path.c_str(), FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::vector<BYTE> slot(kSlot);
    DWORD n = 0;
    bool bOk = true;
    while (bOk && ::ReadFile(h, slot.data(), static_cast<DWORD>(kSlot), &n, nullptr) && n > 0)
        bOk = sha.Update(slot.data(), n);
    ::CloseHandle(h);
    return bOk && sha.Finish(digest);
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

TEST(Sha256, RealFilesOfEverySizeMatchHashlib)
{
    const std::wstring dir = NativeFiles();
    std::vector<CManifestEntry> entries;
    std::vector<size_t> badLines;
    ASSERT_TRUE(ReadManifest(dir + L"sizes.sha256", entries, badLines));
    EXPECT_TRUE(badLines.empty());
    std::vector<std::wstring> names;
    CSha256 sha;
    ASSERT_TRUE(sha.Open());
    for (const CManifestEntry& entry : entries)
    {
        names.push_back(entry.name);
        BYTE digest[32] = {};
        const std::wstring path = dir + L"sizes\\" + entry.name;
        if (entry.name == L"sparse-4g")
            ASSERT_TRUE(HashMapped(sha, path, digest));
        else
            ASSERT_TRUE(HashFile(sha, path, digest));
        EXPECT_EQ(Hex(digest), Hex(entry.digest)) << "line " << entry.nLine;
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"empty", L"one", L"slot", L"slot-and-one", L"sparse-4g"}));
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

// Only a file that cannot be read fails the whole: one missing, and one whose second block fails to read.
TEST(ReadManifest, AFileThatCannotBeReadWhollyFails)
{
    TempDir dir;
    std::vector<CManifestEntry> entries;
    std::vector<size_t> badLines;
    ::SetLastError(0);
    EXPECT_FALSE(ReadManifest(dir / L"missing.sha256", entries, badLines));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    if (!FaultRules::Available())
        GTEST_SKIP() << "fault injector not preloaded";
    std::string text;
    for (int i = 0; text.size() < 2 * kSlot; ++i)
        text += ManifestLine(Digest32(static_cast<BYTE>(i)).b, L"file " + std::to_wstring(i));
    WriteString(dir / L"m.sha256", text);
    ASSERT_TRUE(ReadManifest(dir / L"m.sha256", entries, badLines));
    FaultRules rules;
    rules.Eio(dir / L"m.sha256", kSlot);
    ::SetLastError(0);
    EXPECT_FALSE(ReadManifest(dir / L"m.sha256", entries, badLines));
    EXPECT_NE(::GetLastError(), 0u);
}

TEST(ManifestWriter, CommitPutsTheWholeFileInPlaceAbandonLeavesTheTargetAndNoTemporary)
{
    TempDir dir;
    const std::wstring target = dir / L"sums.sha256";
    WriteString(target, "old\n");
    // More than the writer buffers, so some lines reach the temporary file before the end.
    std::string lines;
    for (int i = 0; i < 2000; ++i)
        lines += ManifestLine(Digest32(static_cast<BYTE>(i)).b, L"folder\\file " + std::to_wstring(i));
    auto addAll = [&](CManifestWriter& writer) {
        for (size_t nPos = 0; nPos < lines.size();)
        {
            const size_t nEnd = lines.find('\n', nPos) + 1;
            if (!writer.Add(lines.substr(nPos, nEnd - nPos)))
                return false;
            nPos = nEnd;
        }
        return true;
    };
    {
        CManifestWriter writer;
        ASSERT_TRUE(writer.Open(target));
        ASSERT_TRUE(addAll(writer));
        // Beside the target, so the rename stays on its volume.
        const std::wstring temp = writer.TempPath();
        EXPECT_EQ(temp.substr(temp.find_last_of(L'\\') + 1).substr(0, 17), L"sums.sha256.tavik");
        EXPECT_EQ(Literal(dir.Path()), temp.substr(0, temp.find_last_of(L'\\') + 1));
        EXPECT_GT(ReadText(temp).size(), 0u);
        EXPECT_TRUE(writer.Abandon());
        EXPECT_EQ(writer.Error(), 0u);
    }
    EXPECT_EQ(ReadText(target), "old\n");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::wstring>{L"sums.sha256"});
    {
        // An early end of the run: the writer goes away uncommitted.
        CManifestWriter writer;
        ASSERT_TRUE(writer.Open(target));
        ASSERT_TRUE(addAll(writer));
    }
    EXPECT_EQ(ReadText(target), "old\n");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::wstring>{L"sums.sha256"});
    for (const wchar_t* pszTarget : {L"sums.sha256", L"new.sha256"})
    {
        CManifestWriter writer;
        ASSERT_TRUE(writer.Open(dir / pszTarget));
        ASSERT_TRUE(addAll(writer));
        EXPECT_TRUE(writer.Commit()) << writer.Error();
        EXPECT_EQ(writer.Error(), 0u);
        const std::string written = ReadText(dir / pszTarget);
        EXPECT_TRUE(written == lines) << written.size() << " bytes of " << lines.size();
    }
    EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::wstring>{L"new.sha256", L"sums.sha256"}));

    // A target the rename cannot replace (a folder): Commit fails, says why, and leaves only what was there.
    MakeDir(dir / L"folder.sha256");
    {
        CManifestWriter writer;
        ASSERT_TRUE(writer.Open(dir / L"folder.sha256"));
        ASSERT_TRUE(addAll(writer));
        EXPECT_FALSE(writer.Commit());
        EXPECT_NE(writer.Error(), 0u);
        EXPECT_FALSE(writer.Add(lines));
    }
    EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::wstring>{L"folder.sha256", L"new.sha256", L"sums.sha256"}));
    // A folder that does not exist fails at Open, before a byte would be read, and every later call too.
    CManifestWriter writer;
    EXPECT_FALSE(writer.Open(dir / L"missing\\sums.sha256"));
    EXPECT_EQ(writer.Error(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(writer.Add(lines));
    EXPECT_FALSE(writer.Commit());
    EXPECT_EQ(writer.Error(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// The tree of odd names the native step made: listed as tavik-verify lists it, hashed slot by slot and written as
// a manifest, which the ctest step manifest_sha256sum then checks with coreutils. Names with a newline or a
// carriage return are listed but cannot be opened (Win32 refuses control characters in names, and so does Wine),
// so they get no line, as a run gives them none. coreutils' own manifests of the same tree, in text and binary
// mode, read back as the same names and digests, escaped lines included.
TEST(Manifest, ATreeOfOddNamesAsCoreutilsWritesAndReadsIt)
{
    const std::wstring dir = NativeFiles();
    CListingOptions options;
    options.bRecursive = true;
    std::vector<CListedPair> listed;
    CString strFailed;
    UINT64 nHiddenSystem = 0;
    ASSERT_EQ(CFolderListing::ListFiles(CString((dir + L"tree\\").c_str()), options, listed, 0, strFailed, nHiddenSystem),
              CFolderListing::kListed);
    CSha256 sha;
    ASSERT_TRUE(sha.Open());
    CManifestWriter writer;
    ASSERT_TRUE(writer.Open(dir + L"tavik.sha256"));
    std::map<std::wstring, std::string> hashed;
    std::vector<std::wstring> unopened;
    int nBadNames = 0;
    for (const CListedPair& entry : listed)
    {
        nBadNames += entry.kind[0] == EListed::kBadName;
        if (entry.kind[0] != EListed::kFile)
            continue;
        const std::wstring name(entry.strName);
        BYTE digest[32];
        if (!HashFile(sha, std::wstring(entry.strPath[0]), digest))
        {
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
            unopened.push_back(name);
            continue;
        }
        const std::string line = ManifestLine(digest, name);
        ASSERT_FALSE(line.empty());
        ASSERT_TRUE(writer.Add(line));
        hashed[name] = Hex(digest);
    }
    ASSERT_TRUE(writer.Commit()) << writer.Error();
    EXPECT_EQ(hashed.size(), 9u);
    EXPECT_EQ(hashed.count(L" leading and trailing ") + hashed.count(L"sub\\深い\\nested.txt") + hashed.count(L"emoji \xD83D\xDE00.txt"),
              3u);
    EXPECT_EQ(unopened, (std::vector<std::wstring>{L"cr\rname.txt", L"new\nline.txt"}));
    EXPECT_EQ(nBadNames, 2);  // "back\slash.txt" and the folder "k\l": no path carries them

    // What the native step wrote into those two.
    std::map<std::wstring, std::string> all = hashed;
    all[L"new\nline.txt"] = Digest(sha, "55555");
    all[L"cr\rname.txt"] = Digest(sha, "666666");
    const struct
    {
        const wchar_t* pszManifest;
        const std::map<std::wstring, std::string>& expected;
    } kManifests[] = {{L"coreutils.sha256", all}, {L"coreutils-binary.sha256", all}, {L"tavik.sha256", hashed}};
    for (const auto& manifest : kManifests)
    {
        std::vector<CManifestEntry> entries;
        std::vector<size_t> badLines;
        ASSERT_TRUE(ReadManifest(dir + manifest.pszManifest, entries, badLines));
        EXPECT_TRUE(badLines.empty()) << badLines.size();
        std::map<std::wstring, std::string> read;
        for (const CManifestEntry& entry : entries)
            read[entry.name] = Hex(entry.digest);
        EXPECT_TRUE(read == manifest.expected) << entries.size() << " entries";
    }
}
}
