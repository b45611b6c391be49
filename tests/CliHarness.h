// tavik-verify.exe as a child process, for the test programs that run it: starting it, its output, its rows.
#pragma once
#include "TestSupport.h"
#include <windows.h>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The program, or with bSeam its test build, which takes some attributes and unexpected ends from file names
// (cli/VerifyMain.cpp).
std::wstring VerifyExe(bool bSeam = false);
// A message of the program's message table (the test programs link the same resources).
std::wstring Text(UINT nID);
// Strict: invalid UTF-8 gives an empty string and a failure.
std::wstring FromUtf8(const std::string& bytes);
// One argument quoted for a command line.
std::wstring Quote(const std::wstring& arg);

// Collects everything a child writes to one pipe, on a thread of its own, so neither pipe can fill up and stall it.
class PipeReader
{
public:
    explicit PipeReader(HANDLE hRead);
    ~PipeReader();
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;
    // Waits for more output until pred holds for all read so far, the pipe ends, or timeoutMs passes.
    bool WaitFor(const std::function<bool(const std::string&)>& pred, DWORD timeoutMs);
    // Everything, once the pipe has ended.
    std::string Take();

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
    // hStdOut, when given, is the child's standard output (inheritable, and left open for the caller to close);
    // otherwise a pipe that the test reads.
    Child(const std::vector<std::wstring>& args, const std::wstring& cwd = std::wstring(), DWORD dwFlags = 0,
          const std::wstring& exe = VerifyExe(), HANDLE hStdOut = nullptr);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    PipeReader& Err() { return *m_err; }
    PipeReader& Out() { return *m_out; }  // only where no hStdOut was given
    const PROCESS_INFORMATION& Info() const { return m_pi; }
    Result Finish(DWORD timeoutMs = 120000);

private:
    PROCESS_INFORMATION m_pi{};
    bool m_bStarted = false;
    std::unique_ptr<PipeReader> m_out, m_err;
};

Result RunVerify(const std::vector<std::wstring>& args, const std::wstring& cwd = std::wstring());
// The Windows path of a Linux folder that a native step made (what Win32 cannot: odd names, FIFOs), named by an
// environment variable.
std::wstring FolderFromEnvironment(const char* pszVariable);
Result RunSeam(const std::vector<std::wstring>& args);

// Rows of a TSV report by name: verdict, sizes, mode, detail and times, names unescaped.
struct ParsedRow
{
    std::wstring verdict, size1, size2, mode, detail, time1, time2;
};
std::vector<std::pair<std::wstring, ParsedRow>> ParseTsv(const std::string& out);

// One row; empty fields are TSV's empty cells and JSON's nulls. A time left empty stands for any well-formed time
// where the side has a size, for none where it has not: the rows are compared with each time written as "T".
struct Row
{
    std::wstring verdict, name, size1, size2, mode, detail;
    std::wstring time1 = std::wstring(), time2 = std::wstring();
};
// True for a time as the rows write it: UTC, ISO 8601, a fraction only where there is one, without trailing zeros.
bool IsRowTime(const std::wstring& text);

extern const char* const kFormats[2];  // "tsv", "jsonl"

// The exact text the program has to write for these rows.
std::wstring Render(const std::string& format, const std::vector<Row>& rows);
void ExpectRows(const Result& r, const std::string& format, const std::vector<Row>& rows);
// The arguments with the format option put first.
std::vector<std::wstring> With(std::vector<std::wstring> args, const std::string& format);
std::wstring N(UINT64 n);

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

// Holds a file (or with FILE_FLAG_BACKUP_SEMANTICS a folder) open with share mode 0, as another program would.
struct ExclusiveHold
{
    HANDLE h;
    explicit ExclusiveHold(const std::wstring& path, DWORD dwFlags = 0);
    ~ExclusiveHold() { ::CloseHandle(h); }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
};

// Delivers Ctrl+Break to the child.
void SendCtrlBreak(const PROCESS_INFORMATION& pi);
// Delivers a console control event (CTRL_CLOSE_EVENT, ...) to the child as Windows does: a thread of its own at
// kernelbase's CtrlRoutine, which runs the child's handlers.
void SendCtrlEvent(const PROCESS_INFORMATION& pi, DWORD dwEvent);
// Runs the child, waits until its progress line names `name`, then sends Ctrl+Break.
Result BreakWhileComparing(Sides& s, const std::wstring& name, std::vector<std::wstring> options = {});
