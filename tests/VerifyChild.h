// tavik-verify.exe run as a child process by the tests: its output collected, Ctrl+Break delivered, rows parsed.
#pragma once
#include "String.h"
#include "TestSupport.h"
#include <gtest/gtest.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

// The program, or with bSeam its test build, which takes some attributes and unexpected ends from file names
// (cli/VerifyMain.cpp).
inline std::wstring VerifyExe(bool bSeam = false)
{
    std::wstring path = ProgramPath();
    path.resize(path.find_last_of(L'\\') + 1);
    return path + (bSeam ? L"tavik-verify-seam.exe" : L"tavik-verify.exe");
}

inline std::wstring Text(UINT nID)
{
    CString s;
    s.LoadString(nID);
    return std::wstring(s);
}

// Strict: invalid UTF-8 gives an empty string and a failure.
inline std::wstring FromUtf8(const std::string& bytes)
{
    if (bytes.empty())
        return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    EXPECT_GT(n, 0) << "output is not valid UTF-8";
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), &w[0], n);
    return w;
}

inline std::wstring Quote(const std::wstring& arg)
{
    // The rules CommandLineToArgvW and the C runtime read a command line by.
    std::wstring q = L"\"";
    size_t nSlashes = 0;
    for (wchar_t ch : arg)
    {
        if (ch == L'\\')
            ++nSlashes;
        else
        {
            // Backslashes count only before a quote: they are doubled there, and the quote is escaped.
            if (ch == L'"')
                q.append(nSlashes + 1, L'\\');
            nSlashes = 0;
        }
        q += ch;
    }
    q.append(nSlashes, L'\\');
    return q + L"\"";
}

// Collects everything a child writes to one pipe, on a thread of its own, so neither pipe can fill up and stall it.
class PipeReader
{
public:
    explicit PipeReader(HANDLE hRead) : m_hRead(hRead), m_hChunk(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
    {
        m_thread = std::thread([this] {
            char buf[4096];
            DWORD n = 0;
            while (::ReadFile(m_hRead, buf, sizeof buf, &n, nullptr) && n > 0)
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_text.append(buf, n);
                ::SetEvent(m_hChunk);
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bEnd = true;
            ::SetEvent(m_hChunk);
        });
    }
    ~PipeReader()
    {
        if (m_thread.joinable())
            m_thread.join();
        ::CloseHandle(m_hRead);
        ::CloseHandle(m_hChunk);
    }
    // Waits for more output until pred holds for all read so far, the pipe ends, or timeoutMs passes.
    bool WaitFor(const std::function<bool(const std::string&)>& pred, DWORD timeoutMs)
    {
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        for (;;)
        {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (pred(m_text))
                    return true;
                if (m_bEnd)
                    return false;
            }
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline || ::WaitForSingleObject(m_hChunk, static_cast<DWORD>(deadline - now)) == WAIT_TIMEOUT)
                return false;
        }
    }
    // Everything, once the pipe has ended.
    std::string Take()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_text;
    }

private:
    HANDLE m_hRead;
    HANDLE m_hChunk;
    std::mutex m_mutex;
    std::string m_text;
    bool m_bEnd = false;
    std::thread m_thread;
};

struct Result
{
    DWORD exitCode = 0xFFFFFFFF;
    std::string out, err;  // the bytes as written
    std::wstring Err() const { return FromUtf8(err); }
};

class Child
{
public:
    Child(const std::vector<std::wstring>& args, const std::wstring& cwd = std::wstring(), DWORD dwFlags = 0,
          const std::wstring& exe = VerifyExe())
    {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE hOutRead, hOutWrite, hErrRead, hErrWrite;
        ::CreatePipe(&hOutRead, &hOutWrite, &sa, 0);
        ::CreatePipe(&hErrRead, &hErrWrite, &sa, 0);
        ::SetHandleInformation(hOutRead, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(hErrRead, HANDLE_FLAG_INHERIT, 0);
        HANDLE hNul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = hNul;
        si.hStdOutput = hOutWrite;
        si.hStdError = hErrWrite;
        std::wstring cmd = Quote(exe);
        for (const std::wstring& a : args)
            cmd += L" " + Quote(a);
        m_bStarted = ::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, dwFlags, nullptr,
                                      cwd.empty() ? nullptr : cwd.c_str(), &si, &m_pi) != FALSE;
        EXPECT_TRUE(m_bStarted) << "cannot start " << ::GetLastError();
        // Only the child holds the write ends now, so each pipe ends exactly when the child does.
        ::CloseHandle(hOutWrite);
        ::CloseHandle(hErrWrite);
        ::CloseHandle(hNul);
        m_out = std::make_unique<PipeReader>(hOutRead);
        m_err = std::make_unique<PipeReader>(hErrRead);
    }
    ~Child()
    {
        if (m_bStarted)
        {
            if (::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT)
                ::TerminateProcess(m_pi.hProcess, 99);
            ::CloseHandle(m_pi.hProcess);
            ::CloseHandle(m_pi.hThread);
        }
    }
    PipeReader& Err() { return *m_err; }
    const PROCESS_INFORMATION& Info() const { return m_pi; }

    Result Finish(DWORD timeoutMs = 120000)
    {
        Result r;
        if (!m_bStarted)
            return r;
        if (::WaitForSingleObject(m_pi.hProcess, timeoutMs) == WAIT_TIMEOUT)
        {
            ADD_FAILURE() << "tavik-verify did not end";
            ::TerminateProcess(m_pi.hProcess, 99);
            ::WaitForSingleObject(m_pi.hProcess, INFINITE);
        }
        ::GetExitCodeProcess(m_pi.hProcess, &r.exitCode);
        r.out = m_out->Take();
        r.err = m_err->Take();
        // Redirected, both streams are UTF-8 without a byte-order mark.
        EXPECT_NE(r.out.compare(0, 3, "\xEF\xBB\xBF"), 0);
        EXPECT_NE(r.err.compare(0, 3, "\xEF\xBB\xBF"), 0);
        FromUtf8(r.out);
        FromUtf8(r.err);
        return r;
    }

private:
    PROCESS_INFORMATION m_pi{};
    bool m_bStarted = false;
    std::unique_ptr<PipeReader> m_out, m_err;
};

inline Result RunVerify(const std::vector<std::wstring>& args, const std::wstring& cwd = std::wstring())
{
    return Child(args, cwd).Finish();
}

// Two side folders in one temporary folder.
struct Sides
{
    TempDir dir;
    std::wstring a = dir / L"a\\", b = dir / L"b\\";
    Sides()
    {
        MakeDir(a);
        MakeDir(b);
    }
    void Both(const std::wstring& name, const std::vector<unsigned char>& data)
    {
        WriteBytes(a + name, data);
        WriteBytes(b + name, data);
    }
    std::vector<std::wstring> Args(std::vector<std::wstring> options = {}) const
    {
        options.push_back(a);
        options.push_back(b);
        return options;
    }
};

// Holds a file open with share mode 0, as another program would.
struct ExclusiveHold
{
    HANDLE h;
    explicit ExclusiveHold(const std::wstring& path)
        : h(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
    {
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
    }
    ~ExclusiveHold() { ::CloseHandle(h); }
};

// Delivers Ctrl+Break to the child. Where the console cannot (Wine 8 has no console to send it through), it is
// delivered the way Windows itself does: a thread started in the target at kernelbase's CtrlRoutine, which runs
// the target's handler chain. System DLLs sit at the same address in every process.
inline void SendCtrlBreak(const PROCESS_INFORMATION& pi)
{
    if (::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi.dwProcessId))
        return;
    auto pfn = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    ASSERT_NE(pfn, nullptr);
    HANDLE h = ::CreateRemoteThread(pi.hProcess, nullptr, 0, pfn, reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(CTRL_BREAK_EVENT)), 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(::WaitForSingleObject(h, 30000), WAIT_OBJECT_0);
    ::CloseHandle(h);
}

// Rows of a TSV report by name: verdict, mode and detail, names unescaped.
struct ParsedRow
{
    std::wstring verdict, size1, size2, mode, detail;
};

inline std::vector<std::pair<std::wstring, ParsedRow>> ParseTsv(const std::string& out)
{
    std::vector<std::pair<std::wstring, ParsedRow>> rows;
    std::wistringstream lines(FromUtf8(out));
    std::wstring line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line))
    {
        std::vector<std::wstring> f(1);
        for (wchar_t ch : line)
            if (ch == L'\t')
                f.emplace_back();
            else
                f.back() += ch;
        if (f.size() != 6)
        {
            ADD_FAILURE() << "not a row: " << ::testing::PrintToString(line);
            continue;
        }
        std::wstring name;
        for (size_t i = 0; i < f[1].size(); ++i)
            name += f[1][i] == L'\\' && i + 1 < f[1].size() ? f[1][++i] : f[1][i];
        rows.push_back({name, ParsedRow{f[0], f[2], f[3], f[4], f[5]}});
    }
    return rows;
}
