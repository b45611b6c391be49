// Measures the comparison engine against the I/O floor and a plain single-threaded loop. Prints one line per call;
// bench/run repeats the calls, drops the page cache for cold runs and takes medians.
//   engine_bench make DIR SIZE_MIB          two equal files DIR\a.bin and DIR\b.bin
//   engine_bench makepairs DIR COUNT KIB    COUNT equal pairs DIR\p1\N.bin and DIR\p2\N.bin
//   engine_bench engine DIR normal|fast     one comparison of a.bin with b.bin by the engine
//   engine_bench floor DIR                  both files read to the end by two threads, nothing compared
//   engine_bench loop DIR                   ReadFile + memcmp in 1 MiB blocks on one thread
//   engine_bench pairs DIR COUNT            the engine over every small pair, one after another
//   engine_bench pairlist DIR1 DIR2 normal|fast   the engine over every name in both folders, in name order, as the
//                                           dialog runs them (bench/dialog's engine-alone baseline)
//   engine_bench treeloop DIR1 DIR2         every file of tree 1 against tree 2 on one thread: open both, read them
//                                           alternately in 1 MiB blocks, memcmp, close (bench/verify's baseline)
//   engine_bench treefloor DIR1 DIR2        both trees read to the end by two threads, nothing compared (the floor)
#include "BenchSink.h"
#include "CompareEngine.h"
#include "FolderListing.h"
#include "resource.h"
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
const DWORD kBlock = 1 << 20;

double Now()
{
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

UINT64 SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fad))
        return 0;
    return (static_cast<UINT64>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
}

bool WriteFileOf(const std::wstring& path, UINT64 size, UINT32 seed)
{
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::vector<UINT32> chunk(4 << 20);
    UINT32 x = seed | 1;
    for (UINT64 done = 0; done < size;)
    {
        for (UINT32& w : chunk)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            w = x;
        }
        const DWORD n = static_cast<DWORD>(std::min<UINT64>(size - done, chunk.size() * 4));
        DWORD written = 0;
        ::WriteFile(h, chunk.data(), n, &written, nullptr);
        done += written;
    }
    ::CloseHandle(h);
    return true;
}

// Reads a whole file in 1 MiB blocks; returns the bytes read.
UINT64 ReadAll(const std::wstring& path)
{
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    BYTE* buf = static_cast<BYTE*>(::VirtualAlloc(nullptr, kBlock, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    UINT64 total = 0;
    DWORD got = 0;
    while (::ReadFile(h, buf, kBlock, &got, nullptr) && got > 0)
        total += got;
    ::VirtualFree(buf, 0, MEM_RELEASE);
    ::CloseHandle(h);
    return total;
}


// Runs one comparison to its end the way the dialog does: start, pump notices, join on the completion.
int Compare(CCompareEngine& engine, Sink& sink, const std::wstring& a, const std::wstring& b, bool bFast)
{
    sink.nCode = -1;
    engine.m_hNotifyWnd = sink.hWnd;
    const int r = engine.Start(a.c_str(), b.c_str(), bFast);
    if (r != IDS_STARTED)
        return r;
    MSG msg;
    while (sink.nCode < 0 && ::GetMessageW(&msg, nullptr, 0, 0) > 0)
        ::DispatchMessageW(&msg);
    engine.WaitFinished();
    return sink.nCode;
}


// The relative names of every file in a tree, as tavik-verify -r lists them.
std::vector<std::wstring> TreeNames(const std::wstring& dir)
{
    std::vector<CListedPair> files;
    CString strFailed;
    CListingOptions options;
    options.bRecursive = true;
    UINT64 nHiddenSystem = 0;
    CFolderListing::ListFiles(CString(dir.c_str()), options, files, 1, strFailed, nHiddenSystem);
    std::vector<std::wstring> names;
    for (const CListedPair& f : files)
        if (f.kind[0] == EListed::kFile)
            names.push_back(static_cast<LPCWSTR>(f.strName));
    return names;
}

// Compares two open files block by block on this thread; true when they are the same.
bool SameContent(HANDLE h1, HANDLE h2, std::vector<BYTE>& b1, std::vector<BYTE>& b2)
{
    DWORD n1 = 0, n2 = 0;
    for (;;)
    {
        if (!::ReadFile(h1, b1.data(), kBlock, &n1, nullptr) || !::ReadFile(h2, b2.data(), kBlock, &n2, nullptr))
            return false;
        if (n1 != n2 || std::memcmp(b1.data(), b2.data(), n1) != 0)
            return false;
        if (n1 < kBlock)
            return true;
    }
}

void Report(const char* what, UINT64 bytes, double seconds)
{
    std::printf("%s seconds=%.4f GBps=%.3f\n", what, seconds, static_cast<double>(bytes) / seconds / 1e9);
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: engine_bench make|makepairs|engine|floor|loop|pairs DIR ...\n");
        return 2;
    }
    const std::wstring cmd = argv[1];
    const std::wstring dir = std::wstring(argv[2]) + L"\\";
    const std::wstring a = dir + L"a.bin", b = dir + L"b.bin";
    if (cmd == L"pairlist" && argc == 5)
    {
        // Listing is timed too: the dialog lists both folders inside the time it is measured by.
        const std::wstring dir2 = std::wstring(argv[3]) + L"\\";
        const bool bFast = std::wstring(argv[4]) == L"fast";
        Sink sink;
        CCompareEngine engine;
        sink.pEngine = &engine;
        sink.hWnd = MakeSinkWindow(&sink);
        const double t0 = Now();
        const std::set<std::wstring> names1 = ListFiles(dir), names2 = ListFiles(dir2);
        int count = 0, same = 0;
        UINT64 bytes = 0;
        for (const std::wstring& name : names1)
        {
            if (!names2.count(name))
                continue;
            ++count;
            bytes += SizeOf(dir + name);
            same += Compare(engine, sink, dir + name, dir2 + name, bFast) == IDS_SAME;
        }
        const double seconds = Now() - t0;
        std::printf("pairlist pairs=%d same=%d seconds=%.4f pairs_per_second=%.1f GBps=%.3f\n", count, same, seconds,
                    count / seconds, static_cast<double>(bytes) / seconds / 1e9);
        return same == count ? 0 : 1;
    }
    if ((cmd == L"treeloop" || cmd == L"treefloor") && argc == 4)
    {
        const std::wstring dir2 = std::wstring(argv[3]) + L"\\";
        const double t0 = Now();
        const std::vector<std::wstring> names = TreeNames(dir);
        size_t same = 0;
        UINT64 bytes = 0;
        if (cmd == L"treeloop")
        {
            std::vector<BYTE> b1(kBlock), b2(kBlock);
            for (const std::wstring& name : names)
            {
                HANDLE h1 = ::CreateFileW((dir + name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
                HANDLE h2 = ::CreateFileW((dir2 + name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
                if (h1 != INVALID_HANDLE_VALUE && h2 != INVALID_HANDLE_VALUE)
                {
                    LARGE_INTEGER size;
                    ::GetFileSizeEx(h1, &size);
                    bytes += static_cast<UINT64>(size.QuadPart);
                    same += SameContent(h1, h2, b1, b2);
                }
                if (h1 != INVALID_HANDLE_VALUE)
                    ::CloseHandle(h1);
                if (h2 != INVALID_HANDLE_VALUE)
                    ::CloseHandle(h2);
            }
        }
        else
        {
            UINT64 got[2] = {0, 0};
            auto readSide = [&](const std::wstring& root, UINT64& total) {
                std::vector<BYTE> buf(kBlock);
                for (const std::wstring& name : names)
                {
                    HANDLE h = ::CreateFileW((root + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
                    DWORD n = 0;
                    while (h != INVALID_HANDLE_VALUE && ::ReadFile(h, buf.data(), kBlock, &n, nullptr) && n > 0)
                    {
                        total += n;
                        if (n < kBlock)
                            break;
                    }
                    if (h != INVALID_HANDLE_VALUE)
                        ::CloseHandle(h);
                }
            };
            std::thread t1([&] { readSide(dir, got[0]); });
            std::thread t2([&] { readSide(dir2, got[1]); });
            t1.join();
            t2.join();
            bytes = got[0];
            same = names.size();
        }
        const double seconds = Now() - t0;
        std::printf("%ls pairs=%zu same=%zu seconds=%.4f pairs_per_second=%.1f GBps=%.3f\n", cmd.c_str(), names.size(), same,
                    seconds, static_cast<double>(names.size()) / seconds, static_cast<double>(bytes) / seconds / 1e9);
        return 0;
    }
    if (cmd == L"make" && argc == 4)
    {
        const UINT64 size = static_cast<UINT64>(_wtoi(argv[3])) << 20;
        return WriteFileOf(a, size, 7) && WriteFileOf(b, size, 7) ? 0 : 1;
    }
    if (cmd == L"makepairs" && argc == 5)
    {
        const int count = _wtoi(argv[3]);
        const UINT64 size = static_cast<UINT64>(_wtoi(argv[4])) << 10;
        ::CreateDirectoryW((dir + L"p1").c_str(), nullptr);
        ::CreateDirectoryW((dir + L"p2").c_str(), nullptr);
        for (int i = 0; i < count; ++i)
        {
            const std::wstring name = std::to_wstring(i) + L".bin";
            if (!WriteFileOf(dir + L"p1\\" + name, size, i + 1) || !WriteFileOf(dir + L"p2\\" + name, size, i + 1))
                return 1;
        }
        return 0;
    }
    const UINT64 size = SizeOf(a);
    if (cmd == L"floor")
    {
        const double t0 = Now();
        UINT64 got[2] = {0, 0};
        std::thread t1([&] { got[0] = ReadAll(a); });
        std::thread t2([&] { got[1] = ReadAll(b); });
        t1.join();
        t2.join();
        Report("floor", size, Now() - t0);
        return got[0] == size && got[1] == size ? 0 : 1;
    }
    if (cmd == L"loop")
    {
        const double t0 = Now();
        HANDLE h1 = ::CreateFileW(a.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        HANDLE h2 = ::CreateFileW(b.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        std::vector<BYTE> b1(kBlock), b2(kBlock);
        DWORD n1 = 0, n2 = 0;
        bool same = true;
        while (same && ::ReadFile(h1, b1.data(), kBlock, &n1, nullptr) && ::ReadFile(h2, b2.data(), kBlock, &n2, nullptr))
        {
            same = n1 == n2 && std::memcmp(b1.data(), b2.data(), n1) == 0;
            if (n1 == 0)
                break;
        }
        ::CloseHandle(h1);
        ::CloseHandle(h2);
        Report("loop", size, Now() - t0);
        return same ? 0 : 1;
    }

    Sink sink;
    CCompareEngine engine;
    sink.pEngine = &engine;
    sink.hWnd = MakeSinkWindow(&sink);
    if (cmd == L"engine" && argc == 4)
    {
        const bool bFast = std::wstring(argv[3]) == L"fast";
        const double t0 = Now();
        const int code = Compare(engine, sink, a, b, bFast);
        Report(bFast ? "engine-fast" : "engine-normal", size, Now() - t0);
        return code == IDS_SAME ? 0 : 1;
    }
    if (cmd == L"pairs" && argc == 4)
    {
        const int count = _wtoi(argv[3]);
        const double t0 = Now();
        int same = 0;
        for (int i = 0; i < count; ++i)
        {
            const std::wstring name = std::to_wstring(i) + L".bin";
            same += Compare(engine, sink, dir + L"p1\\" + name, dir + L"p2\\" + name, false) == IDS_SAME;
        }
        const double seconds = Now() - t0;
        std::printf("pairs seconds=%.4f pairs_per_second=%.0f\n", seconds, count / seconds);
        return same == count ? 0 : 1;
    }
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
