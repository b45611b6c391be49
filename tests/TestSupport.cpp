// Shared helpers for Tavik's tests.
#include "TestSupport.h"
#include "CompareEngine.h"
#include <atomic>
#include <cstdio>
#include <thread>

std::wstring FromUnix(const std::string& unixPath)
{
    typedef WCHAR*(CDECL * PfnDosName)(const char*);
    auto pfn = reinterpret_cast<PfnDosName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!pfn)
        return std::wstring();
    WCHAR* p = pfn(unixPath.c_str());
    if (!p)
        return std::wstring();
    std::wstring s(p);
    ::HeapFree(::GetProcessHeap(), 0, p);
    return s;
}

// Test files are made and removed through the literal form, so that names Win32 would rewrite ("nul.txt", "x.")
// and paths past MAX_PATH are real files on disk.
std::wstring Literal(const std::wstring& path)
{
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return L"\\\\?\\" + path;
    return path;
}

TempDir::TempDir()
{
    static LONG s_counter;
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    wchar_t name[64];
    swprintf(name, 64, L"tavik-%lu-%ld\\", ::GetCurrentProcessId(), ::InterlockedIncrement(&s_counter));
    m_path = std::wstring(base) + name;
    RemoveTree(m_path);
    MakeDir(m_path);
}

TempDir::~TempDir()
{
    RemoveTree(m_path);
}

void RemoveTree(const std::wstring& path)
{
    std::wstring dir = path;
    if (!dir.empty() && dir.back() != L'\\')
        dir += L'\\';
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW(Literal(dir + L"*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE)
    {
        do
        {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = dir + name;
            ::SetFileAttributesW(Literal(full).c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full);
            else
                ::DeleteFileW(Literal(full).c_str());
        } while (::FindNextFileW(h, &fd));
        ::FindClose(h);
    }
    ::SetFileAttributesW(Literal(dir).c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(Literal(dir).c_str());
}

void MakeDir(const std::wstring& path)
{
    ::CreateDirectoryW(Literal(path).c_str(), nullptr);
}

std::vector<unsigned char> Pattern(size_t size, unsigned seed)
{
    std::vector<unsigned char> v(size);
    UINT32 x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = static_cast<unsigned char>(x);
    }
    return v;
}

void WriteBytes(const std::wstring& path, const std::vector<unsigned char>& data)
{
    HANDLE h = ::CreateFileW(Literal(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    size_t done = 0;
    while (h != INVALID_HANDLE_VALUE && done < data.size())
    {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1 << 24)), written = 0;
        if (!::WriteFile(h, data.data() + done, chunk, &written, nullptr))
            break;
        done += written;
    }
    ::CloseHandle(h);
}

void WriteText(const std::wstring& path, const char* text)
{
    WriteBytes(path, std::vector<unsigned char>(text, text + strlen(text)));
}

void MakeSparse(const std::wstring& path, UINT64 size)
{
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD ret;
    ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ret, nullptr);
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(size);
    ::SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
    ::SetEndOfFile(h);
    ::CloseHandle(h);
}

void PokeByte(const std::wstring& path, UINT64 offset, unsigned char value)
{
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(offset);
    ::SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
    DWORD written;
    ::WriteFile(h, &value, 1, &written, nullptr);
    ::CloseHandle(h);
}

bool CanOpenExclusive(const std::wstring& path)
{
    HANDLE h = ::CreateFileW(Literal(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(h);
    return true;
}

bool StartProcess(const std::wstring& cmd, bool bInherit, DWORD dwFlags, LPCWSTR pszCwd, STARTUPINFOW& si,
                  PROCESS_INFORMATION& pi)
{
    for (int nTry = 0;; ++nTry)
    {
        std::wstring line = cmd;  // CreateProcessW may write into the command line
        if (::CreateProcessW(nullptr, &line[0], nullptr, nullptr, bInherit, dwFlags, nullptr, pszCwd, &si, &pi))
            return true;
        if (::GetLastError() != ERROR_INTERNAL_ERROR || nTry == 2)
            return false;
    }
}

bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;)
    {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (cond())
            return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline)
            return false;
        // Wakes for the next message; the short cap lets conditions that change without a message be seen too.
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 5)), QS_ALLINPUT);
    }
}

std::string UnixPath(const std::wstring& winPath)
{
    typedef char*(CDECL * PfnUnixName)(LPCWSTR);
    auto pfn = reinterpret_cast<PfnUnixName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!pfn)
        return std::string();
    char* p = pfn(winPath.c_str());
    if (!p)
        return std::string();
    std::string s(p);
    ::HeapFree(::GetProcessHeap(), 0, p);
    return s;
}

bool FaultRules::Available()
{
    char buf[8];
    return ::GetEnvironmentVariableA("TAVIK_FAULT_RULES", buf, sizeof buf) != 0 &&
           ::GetEnvironmentVariableA("LD_PRELOAD", buf, sizeof buf) != 0;
}

FaultRules::FaultRules()
{
    char buf[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableA("TAVIK_FAULT_RULES", buf, sizeof buf);
    if (n > 0 && n < sizeof buf)
        m_rulesFile = FromUnix(buf);
}

FaultRules::~FaultRules()
{
    if (!m_rulesFile.empty())
        ::DeleteFileW(m_rulesFile.c_str());
}

void FaultRules::Eio(const std::wstring& file, UINT64 fromOffset)
{
    Add("eio " + UnixPath(file) + " " + std::to_string(fromOffset));
}

void FaultRules::Align(const std::wstring& file, unsigned sector)
{
    Add("align " + UnixPath(file) + " " + std::to_string(sector));
}

void FaultRules::Unbuffered(const std::wstring& file, unsigned sector)
{
    Add("unbuffered " + UnixPath(file) + " " + std::to_string(sector));
}

void FaultRules::UnbufferedFail(const std::wstring& file, int error)
{
    Add("unbuffered-fail " + UnixPath(file) + " " + std::to_string(error));
}

void FaultRules::Short(const std::wstring& file, UINT64 atOffset)
{
    Add("short " + UnixPath(file) + " " + std::to_string(atOffset));
}

void FaultRules::Resize(const std::wstring& file, UINT64 atOffset, UINT64 newSize)
{
    Add("resize " + UnixPath(file) + " " + std::to_string(atOffset) + " " + std::to_string(newSize));
}

void FaultRules::Stall(const std::wstring& file, unsigned seconds, UINT64 fromOffset)
{
    Add("stall " + UnixPath(file) + " " + std::to_string(seconds) + " " + std::to_string(fromOffset));
}

void FaultRules::NoId(const std::wstring& folder, long long index)
{
    Add("noid " + UnixPath(folder) + " " + std::to_string(index));
}

void FaultRules::Hold(const std::wstring& file, UINT64 fromOffset)
{
    Add("hold " + UnixPath(file) + " " + std::to_string(fromOffset));
}

void FaultRules::WriteHold(const std::wstring& path)
{
    Add("writehold " + UnixPath(path));
}

void FaultRules::ListFail(const std::wstring& folder, unsigned queries)
{
    Add("listfail " + UnixPath(folder) + " " + std::to_string(queries));
}

void FaultRules::OpenHold(const std::wstring& folder)
{
    Add("openhold " + UnixPath(folder));
}

void FaultRules::Add(const std::string& line)
{
    m_text += line + "\n";
    if (m_rulesFile.empty())
        return;
    // Written under a new name and moved into place, so the injector never reads half a file.
    const std::wstring tmp = m_rulesFile + L".new";
    WriteText(tmp, m_text.c_str());
    ::MoveFileExW(tmp.c_str(), m_rulesFile.c_str(), MOVEFILE_REPLACE_EXISTING);
}

NotifySink::NotifySink()
{
    static ATOM s_atom;
    if (!s_atom)
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = WndProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TavikNotifySink";
        s_atom = ::RegisterClassW(&wc);
    }
    m_hWnd = ::CreateWindowExW(0, L"TavikNotifySink", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                               ::GetModuleHandleW(nullptr), this);
}

NotifySink::~NotifySink()
{
    ::DestroyWindow(m_hWnd);
}

void NotifySink::Clear()
{
    m_nProgress = 0;
    m_nSecondQueued = 0;
    m_completions.clear();
}

bool NotifySink::WaitCompletions(size_t n, DWORD timeoutMs)
{
    return PumpUntil([&] { return m_completions.size() >= n; }, timeoutMs);
}

void NotifySink::Drain()
{
    PumpUntil([] { return true; }, 0);
}

LRESULT CALLBACK NotifySink::WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_NCCREATE)
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<NotifySink*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (uMsg == WM_COMPARE_NOTIFY && self)
    {
        if (wParam == 1)
        {
            ++self->m_nProgress;
            if (self->m_pEngine)
            {
                MSG next;
                if (::PeekMessageW(&next, hWnd, WM_COMPARE_NOTIFY, WM_COMPARE_NOTIFY, PM_NOREMOVE) && next.wParam == 1)
                    ++self->m_nSecondQueued;
                CCompareStatus status;
                self->m_pEngine->GetStatus(status);
            }
        }
        else if (wParam == 0)
            self->m_completions.push_back(lParam);
        return 0;
    }
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

std::atomic<int> g_nThreadsBeforeFailure;

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE proc, LPVOID arg, DWORD flags, LPDWORD id)
{
    if (g_nThreadsBeforeFailure-- <= 0)
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return ::CreateThread(sa, stack, proc, arg, flags, id);
}

SIZE_T CommittedPrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION mbi;
    for (BYTE* p = nullptr; ::VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi; p = static_cast<BYTE*>(mbi.BaseAddress) + mbi.RegionSize)
    {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            total += mbi.RegionSize;
        if (static_cast<BYTE*>(mbi.BaseAddress) + mbi.RegionSize < p)
            break;
    }
    return total;
}

DWORD HandleGauge()
{
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count > 0)
        return count;
    HANDLE h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const DWORD value = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(h));
    ::CloseHandle(h);
    return value;
}

ImportPatch::ImportPatch(const char* dll, const char* function, void* replacement)
{
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
    for (; desc->Name; ++desc)
    {
        if (_stricmp(reinterpret_cast<char*>(base + desc->Name), dll) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots)
        {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char*>(byName->Name), function) != 0)
                continue;
            m_pSlot = reinterpret_cast<void**>(&slots->u1.Function);
            m_pOriginal = *m_pSlot;
            DWORD old;
            ::VirtualProtect(m_pSlot, sizeof(void*), PAGE_READWRITE, &old);
            *m_pSlot = replacement;
            ::VirtualProtect(m_pSlot, sizeof(void*), old, &old);
            return;
        }
    }
}

ImportPatch::~ImportPatch()
{
    if (!m_pSlot)
        return;
    DWORD old;
    ::VirtualProtect(m_pSlot, sizeof(void*), PAGE_READWRITE, &old);
    *m_pSlot = m_pOriginal;
    ::VirtualProtect(m_pSlot, sizeof(void*), old, &old);
}

std::wstring WindowText(HWND hWnd)
{
    wchar_t buf[1024] = L"";
    ::GetWindowTextW(hWnd, buf, 1024);
    return buf;
}

std::wstring ClassName(HWND hWnd)
{
    wchar_t buf[256] = L"";
    ::GetClassNameW(hWnd, buf, 256);
    return buf;
}

namespace
{
struct FindArgs
{
    const wchar_t* cls;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK FindProc(HWND hWnd, LPARAM lParam)
{
    auto* args = reinterpret_cast<FindArgs*>(lParam);
    if (ClassName(hWnd) == args->cls && (!args->title || WindowText(hWnd) == args->title))
    {
        args->found = hWnd;
        return FALSE;
    }
    return TRUE;
}
}

HWND FindThreadWindow(DWORD tid, const wchar_t* cls, const wchar_t* title)
{
    FindArgs args{cls, title, nullptr};
    ::EnumThreadWindows(tid, FindProc, reinterpret_cast<LPARAM>(&args));
    return args.found;
}

HWND WaitForThreadWindow(DWORD tid, const wchar_t* cls, const wchar_t* title, DWORD timeoutMs)
{
    HWND found = nullptr;
    PumpUntil([&] { return (found = FindThreadWindow(tid, cls, title)) != nullptr && ::IsWindowVisible(found); }, timeoutMs);
    return found;
}

MessageBoxInfo ReadMessageBox(HWND hBox)
{
    MessageBoxInfo info;
    info.caption = WindowText(hBox);
    for (HWND h = ::GetWindow(hBox, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT))
    {
        const std::wstring cls = ClassName(h);
        const LONG style = ::GetWindowLongW(h, GWL_STYLE);
        if (cls == L"Static" && (style & SS_TYPEMASK) == SS_ICON)
            info.hIcon = reinterpret_cast<HICON>(::SendMessageW(h, STM_GETICON, 0, 0));
        else if (cls == L"Static" && ::GetDlgCtrlID(h) == 0xFFFF)
            info.text = WindowText(h);
        else if (cls == L"Button" && ::IsWindowVisible(h))
            info.buttons.push_back(::GetDlgCtrlID(h));
    }
    return info;
}

void PressOk(HWND hBox)
{
    ::PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(hBox, IDOK)));
}

AnsweredBox AnswerMessageBox(const std::function<void()>& action)
{
    std::atomic<DWORD> tid{0};
    std::atomic<bool> done{false};
    std::thread ui([&] {
        tid = ::GetCurrentThreadId();
        action();
        done = true;
    });
    PumpUntil([&] { return tid != 0; });
    AnsweredBox box;
    HWND hBox = nullptr;
    PumpUntil([&] { return done || ((hBox = FindThreadWindow(tid, L"#32770")) && ::IsWindowVisible(hBox)); });
    if (!done && hBox)
    {
        static_cast<MessageBoxInfo&>(box) = ReadMessageBox(hBox);
        box.shown = true;
        PressOk(hBox);
    }
    ui.join();
    return box;
}

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH];
    // The release check points the tests at the program unpacked from the archive.
    const DWORD n = ::GetEnvironmentVariableW(L"TAVIK_PROGRAM", path, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        return path;
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    dir.resize(dir.find_last_of(L'\\'));       // .../build/tests
    dir.resize(dir.find_last_of(L'\\') + 1);   // .../build/
    return dir + L"tavik.exe";
}
