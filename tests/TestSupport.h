// Shared helpers for Tavik's tests: temporary folders, test files, message pumping, Wine-side fault rules.
#pragma once
#include <windows.h>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

// A folder of its own for one test (share mode 0 is enforced across processes of one prefix), removed afterwards.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // Ends with a backslash.
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + name; }

private:
    std::wstring m_path;
};

// A drive path in the literal form (\\?\X:\...): the helpers below make and remove files by their real names.
std::wstring Literal(const std::wstring& path);
void RemoveTree(const std::wstring& path);
void MakeDir(const std::wstring& path);
// Bytes derived from seed, so two files written with the same seed are equal.
std::vector<unsigned char> Pattern(size_t size, unsigned seed = 1);
void WriteBytes(const std::wstring& path, const std::vector<unsigned char>& data);
void WriteText(const std::wstring& path, const char* text);
// A file of the given size with a hole for content: cheap even past 4 GiB.
void MakeSparse(const std::wstring& path, UINT64 size);
// Overwrites one byte in place.
void PokeByte(const std::wstring& path, UINT64 offset, unsigned char value);
// True when nobody holds the file open: an exclusive open succeeds.
bool CanOpenExclusive(const std::wstring& path);

// CreateProcessW, tried again where Wine could not bring the new process up: it ends before running a line of the
// program, and the call fails with ERROR_INTERNAL_ERROR (once in the thousands of starts of a test command). The
// program under test never ran, so nothing of it is passed over.
bool StartProcess(const std::wstring& cmd, bool bInherit, DWORD dwFlags, LPCWSTR pszCwd, STARTUPINFOW& si,
                  PROCESS_INFORMATION& pi);

// Dispatches this thread's messages until cond holds or timeoutMs has passed; returns cond's last value.
bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs = 30000);

// The Linux path behind a Windows path (Wine only; empty elsewhere).
std::string UnixPath(const std::wstring& winPath);
// The Windows path of a Linux path (Wine only; empty elsewhere).
std::wstring FromUnix(const std::string& unixPath);

// Rules for the preloaded fault injector (tests/faultinject). Cleared when the object goes away.
class FaultRules
{
public:
    // False when the test process runs without the injector, so the fault tests cannot run.
    static bool Available();
    FaultRules();
    ~FaultRules();
    FaultRules(const FaultRules&) = delete;
    FaultRules& operator=(const FaultRules&) = delete;
    void Eio(const std::wstring& file, UINT64 fromOffset);
    void Align(const std::wstring& file, unsigned sector);
    // Alignment for the first handle that reads the file only: the unbuffered one, where it is opened first.
    void Unbuffered(const std::wstring& file, unsigned sector);
    // Every read of the first handle that reads the file fails with the errno (EIO: Wine's ERROR_NOT_READY).
    void UnbufferedFail(const std::wstring& file, int error);
    // Once, the read that spans the offset ends short at it, though the file goes on.
    void Short(const std::wstring& file, UINT64 atOffset);
    void Resize(const std::wstring& file, UINT64 atOffset, UINT64 newSize);
    void Stall(const std::wstring& file, unsigned seconds, UINT64 fromOffset = 0);
    // Every file and folder at or under the folder answers the index (0, or -1 for all ones): a volume without IDs.
    void NoId(const std::wstring& folder, long long index);
    // Every read at or past fromOffset blocks until this object is gone: what the test does meanwhile happens
    // while the read is under way, however slow the machine.
    void Hold(const std::wstring& file, UINT64 fromOffset);
    // The folder's first `queries` listing queries in a process succeed, every later one fails.
    void ListFail(const std::wstring& folder, unsigned queries);
    // The first lookup of the folder's path in a process, which its open makes, blocks until this object is gone:
    // under Wine that holds no other folder's listing, as a listing query does.
    void OpenHold(const std::wstring& folder);
    // Every write of a Tavik program to the file, or to a file directly in the folder, blocks until this object is
    // gone; the first is logged ("write held").
    void WriteHold(const std::wstring& path);

private:
    void Add(const std::string& line);
    std::wstring m_rulesFile;
    std::string m_text;
};

class CCompareEngine;

// A hidden window that records every WM_COMPARE_NOTIFY it receives.
class NotifySink
{
public:
    NotifySink();
    ~NotifySink();
    NotifySink(const NotifySink&) = delete;
    NotifySink& operator=(const NotifySink&) = delete;
    HWND Hwnd() const { return m_hWnd; }
    int Progress() const { return m_nProgress; }
    const std::vector<LPARAM>& Completions() const { return m_completions; }
    void Clear();
    // From now on every progress notice takes a snapshot of the engine, as the dialog does, which lets the engine
    // post the next one. Before taking it, the sink looks whether a second progress notice is queued behind.
    void TakeSnapshots(CCompareEngine* pEngine) { m_pEngine = pEngine; }
    int SecondProgressQueued() const { return m_nSecondQueued; }
    // Pumps until n completions have arrived; false on time-out.
    bool WaitCompletions(size_t n, DWORD timeoutMs = 30000);
    // Dispatches whatever is queued now.
    void Drain();

private:
    static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
    HWND m_hWnd = nullptr;
    int m_nProgress = 0;
    int m_nSecondQueued = 0;
    CCompareEngine* m_pEngine = nullptr;
    std::vector<LPARAM> m_completions;
};

// Stands in for CreateThread in the engine's platform seam: creates the first g_nThreadsBeforeFailure threads
// asked for, then fails every later one as a system out of resources would.
extern std::atomic<int> g_nThreadsBeforeFailure;
HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE proc, LPVOID arg, DWORD flags,
                                  LPDWORD id);

// Committed private memory of this process, summed over its address space.
SIZE_T CommittedPrivateBytes();
// Open handles of this process; under Wine, which does not count them, the value of a fresh handle stands in
// (handle values are reused lowest first, so a leak pushes it up).
DWORD HandleGauge();

// Replaces one imported function of this executable for the object's lifetime, by rewriting its import
// address table: a platform failure that cannot be provoked from outside, faked without touching the product.
class ImportPatch
{
public:
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    bool Applied() const { return m_pSlot != nullptr; }

private:
    void** m_pSlot = nullptr;
    void* m_pOriginal = nullptr;
};

// The first window of thread tid with that class (and caption, when given); null when there is none.
HWND FindThreadWindow(DWORD tid, const wchar_t* cls, const wchar_t* title = nullptr);
// Waits, pumping this thread's messages, until such a window exists.
HWND WaitForThreadWindow(DWORD tid, const wchar_t* cls, const wchar_t* title = nullptr, DWORD timeoutMs = 30000);
std::wstring WindowText(HWND hWnd);
std::wstring ClassName(HWND hWnd);
// A message box's parts, read from the real box.
struct MessageBoxInfo
{
    std::wstring caption, text;
    HICON hIcon = nullptr;
    std::vector<int> buttons;  // ids of the visible push buttons
};
MessageBoxInfo ReadMessageBox(HWND hBox);
// Clicks the box's OK button.
void PressOk(HWND hBox);
// Runs action on a thread of its own, reads the message box it shows, presses OK and waits for the action to
// end. shown is false when no box appeared.
struct AnsweredBox : MessageBoxInfo
{
    bool shown = false;
};
AnsweredBox AnswerMessageBox(const std::function<void()>& action);
// The windows test executables stand beside (or one folder under) the program they test; TAVIK_PROGRAM names
// another one.
std::wstring ProgramPath();
