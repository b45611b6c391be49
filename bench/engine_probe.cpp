// Finds where the engine's time goes: counts and times each platform call of the real engine, per thread; bench/probe runs it.
// It also measures what the same calls cost alone and while two readers run. The engine itself is not changed.
//   engine_probe compare PATH1 PATH2 normal|fast [REPEAT]   calls per slot of one comparison (REPEAT times)
//   engine_probe pairs DIR1 DIR2 normal|fast                calls per pair over every name in both folders
//   engine_probe prims [PATH1 PATH2]                        each call's cost alone, and while two threads read the files
// After compare or pairs, "keep" answers the engine's buffer allocations from buffers kept from the previous pair
// (touched already) and its sector-size questions from the first answer per drive: what keeping them would gain.
#include "BenchSink.h"
#include "CompareEngine.h"
#include "resource.h"
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
double Now()
{
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// Who makes a call: the owner (this program's main thread) or one of the engine's three threads.
enum Role { kOwner, kComparer, kReader1, kReader2, kRoles };
const char* const kRoleNames[kRoles] = {"owner", "comparer", "reader1", "reader2"};

enum Call
{
    kWaitMultiple, kWaitSingle, kSetEvent, kResetEvent, kReadFile, kPostMessage, kEnterLock, kCreateThread,
    kCreateFile, kCloseHandle, kDiskFreeSpace, kFileType, kVirtualAlloc, kVirtualFree, kGetMessage, kCalls
};
const char* const kCallNames[kCalls] = {"WaitForMultipleObjects", "WaitForSingleObject", "SetEvent", "ResetEvent",
                                        "ReadFile", "PostMessageW", "EnterCriticalSection", "CreateThread",
                                        "CreateFileW", "CloseHandle", "GetDiskFreeSpaceW", "GetFileType",
                                        "VirtualAlloc", "VirtualFree", "GetMessage+Dispatch"};

struct Tally
{
    std::atomic<UINT64> n{0};
    std::atomic<double> seconds{0};
};
Tally g_tally[kRoles][kCalls];
std::atomic<double> g_busy[kRoles];  // thread lifetime of the engine threads
std::atomic<DWORD> g_tid[kRoles];    // the last thread of each role, as Wine's server trace names it
thread_local Role t_role = kOwner;

struct Timed
{
    Call call;
    double t0 = Now();
    explicit Timed(Call c) : call(c) {}
    ~Timed()
    {
        Tally& t = g_tally[t_role][call];
        t.n += 1;
        t.seconds = t.seconds + (Now() - t0);
    }
};

void ClearTallies()
{
    for (auto& role : g_tally)
        for (Tally& t : role)
        {
            t.n = 0;
            t.seconds = 0;
        }
    for (auto& b : g_busy)
        b = 0;
}

decltype(&::WaitForMultipleObjects) g_realWaitMultiple;
decltype(&::WaitForSingleObject) g_realWaitSingle;
decltype(&::SetEvent) g_realSetEvent;
decltype(&::ResetEvent) g_realResetEvent;
decltype(&::ReadFile) g_realReadFile;
decltype(&::EnterCriticalSection) g_realEnter;
decltype(&::CreateFileW) g_realCreateFile;
decltype(&::CloseHandle) g_realCloseHandle;
decltype(&::GetDiskFreeSpaceW) g_realDiskFree;
decltype(&::GetFileType) g_realFileType;
decltype(&::VirtualAlloc) g_realVirtualAlloc;
decltype(&::VirtualFree) g_realVirtualFree;
decltype(g_enginePlatform.pfnPostMessage) g_realPost;
decltype(g_enginePlatform.pfnCreateThread) g_realCreateThread;

DWORD WINAPI WaitMultipleHook(DWORD n, const HANDLE* h, BOOL all, DWORD ms)
{
    Timed t(kWaitMultiple);
    return g_realWaitMultiple(n, h, all, ms);
}
DWORD WINAPI WaitSingleHook(HANDLE h, DWORD ms)
{
    Timed t(kWaitSingle);
    return g_realWaitSingle(h, ms);
}
BOOL WINAPI SetEventHook(HANDLE h)
{
    Timed t(kSetEvent);
    return g_realSetEvent(h);
}
BOOL WINAPI ResetEventHook(HANDLE h)
{
    Timed t(kResetEvent);
    return g_realResetEvent(h);
}
BOOL WINAPI ReadFileHook(HANDLE h, LPVOID p, DWORD n, LPDWORD got, LPOVERLAPPED o)
{
    Timed t(kReadFile);
    return g_realReadFile(h, p, n, got, o);
}
void WINAPI EnterHook(LPCRITICAL_SECTION cs)
{
    Timed t(kEnterLock);
    g_realEnter(cs);
}
HANDLE WINAPI CreateFileHook(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g)
{
    Timed t(kCreateFile);
    return g_realCreateFile(a, b, c, d, e, f, g);
}
BOOL WINAPI CloseHandleHook(HANDLE h)
{
    Timed t(kCloseHandle);
    return g_realCloseHandle(h);
}
bool g_bKeep = false;
struct DiskAnswer
{
    std::wstring root;
    DWORD v[4];
};
std::vector<DiskAnswer> g_diskAnswers;
BOOL WINAPI DiskFreeHook(LPCWSTR a, LPDWORD b, LPDWORD c, LPDWORD d, LPDWORD e)
{
    Timed t(kDiskFreeSpace);
    if (g_bKeep)
        for (const DiskAnswer& k : g_diskAnswers)
            if (k.root == a)
            {
                *b = k.v[0], *c = k.v[1], *d = k.v[2], *e = k.v[3];
                return TRUE;
            }
    const BOOL r = g_realDiskFree(a, b, c, d, e);
    if (g_bKeep && r)
        g_diskAnswers.push_back({a, {*b, *c, *d, *e}});
    return r;
}
DWORD WINAPI FileTypeHook(HANDLE h)
{
    Timed t(kFileType);
    return g_realFileType(h);
}
// Buffers handed back by the engine, by size, for its next allocation of that size.
std::vector<std::pair<SIZE_T, LPVOID>> g_kept, g_lent;
LPVOID WINAPI VirtualAllocHook(LPVOID a, SIZE_T b, DWORD c, DWORD d)
{
    Timed t(kVirtualAlloc);
    if (g_bKeep && !a)
        for (auto it = g_kept.begin(); it != g_kept.end(); ++it)
            if (it->first == b)
            {
                LPVOID p = it->second;
                g_kept.erase(it);
                g_lent.emplace_back(b, p);
                return p;
            }
    LPVOID p = g_realVirtualAlloc(a, b, c, d);
    if (g_bKeep && p)
        g_lent.emplace_back(b, p);
    return p;
}
BOOL WINAPI VirtualFreeHook(LPVOID a, SIZE_T b, DWORD c)
{
    Timed t(kVirtualFree);
    if (g_bKeep)
        for (auto it = g_lent.begin(); it != g_lent.end(); ++it)
            if (it->second == a)
            {
                g_kept.push_back(*it);
                g_lent.erase(it);
                return TRUE;
            }
    return g_realVirtualFree(a, b, c);
}
BOOL WINAPI PostHook(HWND h, UINT m, WPARAM w, LPARAM l)
{
    Timed t(kPostMessage);
    return g_realPost(h, m, w, l);
}

struct ThreadStart
{
    LPTHREAD_START_ROUTINE pfn;
    LPVOID param;
    Role role;
};

DWORD WINAPI RoleThread(LPVOID p)
{
    const ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    t_role = start.role;
    g_tid[start.role] = ::GetCurrentThreadId();
    const double t0 = Now();
    const DWORD r = start.pfn(start.param);
    g_busy[start.role] = g_busy[start.role] + (Now() - t0);
    return r;
}

// Start creates the comparer, then reader 1, then reader 2.
int g_nThreadsCreated = 0;
HANDLE WINAPI CreateThreadHook(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE pfn, LPVOID param, DWORD flags, LPDWORD id)
{
    Timed t(kCreateThread);
    auto* start = new ThreadStart{pfn, param, static_cast<Role>(kComparer + g_nThreadsCreated++ % 3)};
    return g_realCreateThread(sa, stack, RoleThread, start, flags, id);
}

// Points this executable's import of one function at a hook; the engine is linked in, so its calls go there too.
template <class F>
void Hook(const char* name, F hook, F& real)
{
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool bFound = false;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp)
    {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots)
        {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0)
                continue;
            DWORD old;
            ::VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            if (!bFound)
                real = reinterpret_cast<F>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            ::VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            bFound = true;
        }
    }
    if (!bFound)
        std::printf("note=%s not imported, not counted\n", name);
}

void HookAll()
{
    Hook("WaitForMultipleObjects", &WaitMultipleHook, g_realWaitMultiple);
    Hook("WaitForSingleObject", &WaitSingleHook, g_realWaitSingle);
    Hook("SetEvent", &SetEventHook, g_realSetEvent);
    Hook("ResetEvent", &ResetEventHook, g_realResetEvent);
    Hook("ReadFile", &ReadFileHook, g_realReadFile);
    Hook("EnterCriticalSection", &EnterHook, g_realEnter);
    Hook("CreateFileW", &CreateFileHook, g_realCreateFile);
    Hook("CloseHandle", &CloseHandleHook, g_realCloseHandle);
    Hook("GetDiskFreeSpaceW", &DiskFreeHook, g_realDiskFree);
    Hook("GetFileType", &FileTypeHook, g_realFileType);
    Hook("VirtualAlloc", &VirtualAllocHook, g_realVirtualAlloc);
    Hook("VirtualFree", &VirtualFreeHook, g_realVirtualFree);
    g_realPost = g_enginePlatform.pfnPostMessage;
    g_enginePlatform.pfnPostMessage = PostHook;
    g_realCreateThread = g_enginePlatform.pfnCreateThread;
    g_enginePlatform.pfnCreateThread = CreateThreadHook;
}


int Compare(CCompareEngine& engine, Sink& sink, const std::wstring& a, const std::wstring& b, bool bFast)
{
    sink.nCode = -1;
    engine.m_hNotifyWnd = sink.hWnd;
    const int r = engine.Start(a.c_str(), b.c_str(), bFast);
    if (r != IDS_STARTED)
        return r;
    MSG msg;
    for (;;)
    {
        Timed t(kGetMessage);
        if (sink.nCode >= 0 || ::GetMessageW(&msg, nullptr, 0, 0) <= 0)
            break;
        ::DispatchMessageW(&msg);
    }
    engine.WaitFinished();
    return sink.nCode;
}

// Per unit (slot or pair): calls and microseconds per call for each thread, and the milliseconds they add up to.
void PrintTallies(const char* unit, double units, double wall)
{
    std::printf("%-9s %-22s %10s %10s %12s %10s\n", "thread", "call", "calls", "per_" , "us_per_call", "total_ms");
    for (int r = 0; r < kRoles; ++r)
    {
        double sum = 0;
        for (int c = 0; c < kCalls; ++c)
        {
            const Tally& t = g_tally[r][c];
            if (t.n == 0)
                continue;
            sum += t.seconds;
            std::printf("%-9s %-22s %10llu %10.2f %12.1f %10.1f\n", kRoleNames[r], kCallNames[c],
                        static_cast<unsigned long long>(t.n.load()), static_cast<double>(t.n) / units,
                        t.seconds / static_cast<double>(t.n) * 1e6, t.seconds * 1e3);
        }
        const double life = r == kOwner ? wall : g_busy[r].load();
        std::printf("%-9s %-22s %10s %10s %12s %10.1f   (thread life %.1f ms: %.1f ms outside these calls)\n",
                    kRoleNames[r], "sum", "", "", "", sum * 1e3, life * 1e3, (life - sum) * 1e3);
    }
    std::printf("per_ column: calls per %s\n", unit);
}


UINT64 SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fad))
        return 0;
    return (static_cast<UINT64>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
}

// --- Each call alone and under load -------------------------------------------------------------------------------

template <class F>
double PerCall(int n, F f)
{
    const double t0 = Now();
    for (int i = 0; i < n; ++i)
        f();
    return (Now() - t0) / n * 1e6;
}

std::vector<std::pair<const char*, double>> MeasurePrimitives()
{
    std::vector<std::pair<const char*, double>> r;
    HANDLE e = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE e2 = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    const int n = 20000;
    r.emplace_back("SetEvent", PerCall(n, [&] { ::SetEvent(e); }));
    r.emplace_back("ResetEvent", PerCall(n, [&] { ::ResetEvent(e); }));
    HANDLE two[2] = {e, e2};
    r.emplace_back("WaitForMultipleObjects, set", PerCall(n, [&] { ::WaitForMultipleObjects(2, two, FALSE, INFINITE); }));
    CRITICAL_SECTION cs;
    ::InitializeCriticalSection(&cs);
    r.emplace_back("Enter+LeaveCriticalSection", PerCall(n, [&] {
                       ::EnterCriticalSection(&cs);
                       ::LeaveCriticalSection(&cs);
                   }));
    ::DeleteCriticalSection(&cs);
    LARGE_INTEGER q;
    r.emplace_back("QueryPerformanceCounter", PerCall(n, [&] { ::QueryPerformanceCounter(&q); }));

    // A post to a window of another thread, taken there at once: what one progress notice costs both sides.
    HWND hWnd = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<UINT64> got{0};
    DWORD tid = 0;
    std::thread receiver([&] {
        tid = ::GetCurrentThreadId();
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        while (!stop && ::GetMessageW(&msg, nullptr, 0, 0) > 0)
            ++got;
    });
    while (!tid)
        ::Sleep(1);
    ::Sleep(50);
    const int nPosts = 5000;
    r.emplace_back("PostThreadMessage, taken at once", PerCall(nPosts, [&] {
                       ::PostThreadMessageW(tid, WM_USER + 1, 1, 0);
                       while (got == 0)
                           ;
                       got = 0;
                   }));
    r.emplace_back("PostMessage, queue never drained", PerCall(nPosts, [&] { ::PostMessageW(hWnd, WM_USER + 1, 1, 0); }));
    stop = true;
    ::PostThreadMessageW(tid, WM_QUIT, 0, 0);
    receiver.join();
    ::DestroyWindow(hWnd);

    // One hand-over: set an event another thread waits on and wait for its answer, as a slot goes reader to
    // comparer and back.
    HANDLE ping = ::CreateEventW(nullptr, FALSE, FALSE, nullptr), pong = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> quit{false};
    std::thread echo([&] {
        while (::WaitForSingleObject(ping, INFINITE) == WAIT_OBJECT_0 && !quit)
            ::SetEvent(pong);
    });
    r.emplace_back("event ping-pong, per hand-over", PerCall(4000, [&] { ::SignalObjectAndWait(ping, pong, INFINITE, FALSE); }) / 2);
    quit = true;
    ::SetEvent(ping);
    echo.join();
    ::CloseHandle(ping);
    ::CloseHandle(pong);
    ::CloseHandle(e);
    ::CloseHandle(e2);
    return r;
}

void ReadLoop(const std::wstring& path, std::atomic<bool>& stop)
{
    std::vector<BYTE> buf(1 << 20);
    while (!stop)
    {
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return;
        DWORD got = 0;
        while (!stop && ::ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) && got > 0)
        {
        }
        ::CloseHandle(h);
    }
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: engine_probe compare|pairs|prims ...\n");
        return 2;
    }
    const std::wstring cmd = argv[1];
    if (cmd == L"prims")
    {
        const auto alone = MeasurePrimitives();
        std::vector<std::pair<const char*, double>> busy;
        if (argc >= 4)
        {
            std::atomic<bool> stop{false};
            std::thread r1([&] { ReadLoop(argv[2], stop); }), r2([&] { ReadLoop(argv[3], stop); });
            ::Sleep(200);
            busy = MeasurePrimitives();
            stop = true;
            r1.join();
            r2.join();
        }
        std::printf("%-36s %12s %14s\n", "call", "us_alone", "us_2_readers");
        for (size_t i = 0; i < alone.size(); ++i)
            std::printf("%-36s %12.2f %14s\n", alone[i].first, alone[i].second,
                        busy.empty() ? "n/a" : std::to_string(busy[i].second).substr(0, 6).c_str());
        return 0;
    }

    HookAll();
    g_bKeep = std::wstring(argv[argc - 1]) == L"keep";
    if (g_bKeep)
        std::printf("keep: buffers kept between pairs, sector sizes asked once per drive\n");
    Sink sink;
    CCompareEngine engine;
    sink.pEngine = &engine;
    sink.hWnd = MakeSinkWindow(&sink);
    if (cmd == L"compare" && argc >= 5)
    {
        const bool bFast = std::wstring(argv[4]) == L"fast";
        const int repeat = argc > 5 ? std::max(1, _wtoi(argv[5])) : 1;
        const UINT64 size = SizeOf(argv[2]);
        for (int i = 0; i < repeat; ++i)
        {
            ClearTallies();
            sink.nProgress = 0;
            const double t0 = Now();
            const int code = Compare(engine, sink, argv[2], argv[3], bFast);
            const double wall = Now() - t0;
            const double slots = static_cast<double>((size + engine.m_nBlockSize - 1) / engine.m_nBlockSize) + 1;
            std::printf("\ncompare code=%d seconds=%.3f GBps=%.3f slots=%.0f progress_notices_taken=%llu\n", code, wall,
                        static_cast<double>(size) / wall / 1e9, slots, static_cast<unsigned long long>(sink.nProgress));
            PrintTallies("slot", slots, wall);
        }
        g_tid[kOwner] = ::GetCurrentThreadId();
        std::printf("tids");
        for (int r = 0; r < kRoles; ++r)
            std::printf(" %s=%04lx", kRoleNames[r], static_cast<unsigned long>(g_tid[r].load()));
        std::printf("\n");
        return 0;
    }
    if (cmd == L"pairs" && argc >= 5)
    {
        const std::wstring dir1 = std::wstring(argv[2]) + L"\\", dir2 = std::wstring(argv[3]) + L"\\";
        const bool bFast = std::wstring(argv[4]) == L"fast";
        const auto names1 = ListFiles(dir1), names2 = ListFiles(dir2);
        ClearTallies();
        const double t0 = Now();
        int count = 0, same = 0;
        for (const std::wstring& name : names1)
            if (names2.count(name))
            {
                ++count;
                same += Compare(engine, sink, dir1 + name, dir2 + name, bFast) == IDS_SAME;
            }
        const double wall = Now() - t0;
        std::printf("\npairs=%d same=%d seconds=%.3f pairs_per_second=%.1f\n", count, same, wall, count / wall);
        PrintTallies("pair", count, wall);
        return 0;
    }
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
