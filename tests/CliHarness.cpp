// The child-process harness of tavik-verify's tests: quoting, pipes, the rows a run must write.
#include "CliHarness.h"
#include "String.h"
#include <gtest/gtest.h>
#include <cwchar>
#include <regex>
#include <sstream>

std::wstring VerifyExe(bool bSeam)
{
    std::wstring path = ProgramPath();
    path.resize(path.find_last_of(L'\\') + 1);
    return path + (bSeam ? L"tavik-verify-seam.exe" : L"tavik-verify.exe");
}

std::wstring Text(UINT nID)
{
    CString s;
    s.LoadString(nID);
    return std::wstring(s);
}

std::wstring FromUtf8(const std::string& bytes)
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

std::wstring Quote(const std::wstring& arg)
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

PipeReader::PipeReader(HANDLE hRead) : m_hRead(hRead), m_hChunk(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
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

PipeReader::~PipeReader()
{
    if (m_thread.joinable())
        m_thread.join();
    ::CloseHandle(m_hRead);
    ::CloseHandle(m_hChunk);
}

bool PipeReader::WaitFor(const std::function<bool(const std::string&)>& pred, DWORD timeoutMs)
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

std::string PipeReader::Take()
{
    if (m_thread.joinable())
        m_thread.join();
    return m_text;
}

Child::Child(const std::vector<std::wstring>& args, const std::wstring& cwd, DWORD dwFlags, const std::wstring& exe,
             HANDLE hStdOut)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE hOutRead = nullptr, hOutWrite = nullptr, hErrRead, hErrWrite;
    if (!hStdOut)
    {
        ::CreatePipe(&hOutRead, &hOutWrite, &sa, 0);
        ::SetHandleInformation(hOutRead, HANDLE_FLAG_INHERIT, 0);
    }
    ::CreatePipe(&hErrRead, &hErrWrite, &sa, 0);
    ::SetHandleInformation(hErrRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE hNul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hNul;
    si.hStdOutput = hStdOut ? hStdOut : hOutWrite;
    si.hStdError = hErrWrite;
    std::wstring cmd = Quote(exe);
    for (const std::wstring& a : args)
        cmd += L" " + Quote(a);
    m_bStarted = StartProcess(cmd, true, dwFlags, cwd.empty() ? nullptr : cwd.c_str(), si, m_pi);
    EXPECT_TRUE(m_bStarted) << "cannot start " << ::GetLastError();
    // Only the child holds the write ends now, so each pipe ends exactly when the child does.
    if (hOutWrite)
        ::CloseHandle(hOutWrite);
    ::CloseHandle(hErrWrite);
    ::CloseHandle(hNul);
    if (hOutRead)
        m_out = std::make_unique<PipeReader>(hOutRead);
    m_err = std::make_unique<PipeReader>(hErrRead);
}

Child::~Child()
{
    if (m_bStarted)
    {
        if (::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT)
            ::TerminateProcess(m_pi.hProcess, 99);
        ::CloseHandle(m_pi.hProcess);
        ::CloseHandle(m_pi.hThread);
    }
}

Result Child::Finish(DWORD timeoutMs)
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
    if (m_out)
        r.out = m_out->Take();
    r.err = m_err->Take();
    // Redirected, both streams are UTF-8 without a byte-order mark.
    EXPECT_NE(r.out.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_NE(r.err.compare(0, 3, "\xEF\xBB\xBF"), 0);
    FromUtf8(r.out);
    FromUtf8(r.err);
    return r;
}

Result RunVerify(const std::vector<std::wstring>& args, const std::wstring& cwd)
{
    return Child(args, cwd).Finish();
}

Result RunSeam(const std::vector<std::wstring>& args)
{
    return Child(args, std::wstring(), 0, VerifyExe(true)).Finish();
}

const char* const kFormats[2] = {"tsv", "jsonl"};

std::wstring Render(const std::string& format, const std::vector<Row>& rows)
{
    auto escape = [](const std::wstring& name, bool bJson) {
        std::wstring e;
        for (wchar_t ch : name)
        {
            wchar_t hex[8];
            swprintf(hex, 8, L"\\u%04x", static_cast<unsigned>(ch));
            e += ch == L'\t' ? L"\\t" : ch == L'\n' ? L"\\n" : ch == L'\r' ? L"\\r" : ch == L'\\' ? L"\\\\"
                 : bJson && ch == L'"' ? L"\\\"" : ch < 0x20 ? std::wstring(hex) : std::wstring(1, ch);
        }
        return e;
    };
    auto json = [](const std::wstring& v, bool bString) { return v.empty() ? L"null" : bString ? L"\"" + v + L"\"" : v; };
    std::wstring text = format == "tsv" ? L"verdict\tname\tsize1\tsize2\tmode\tdetail\ttime1\ttime2\n" : L"";
    for (const Row& r : rows)
    {
        const std::wstring t1 = !r.time1.empty() || r.size1.empty() ? r.time1 : L"T";
        const std::wstring t2 = !r.time2.empty() || r.size2.empty() ? r.time2 : L"T";
        if (format == "tsv")
            text += r.verdict + L"\t" + escape(r.name, false) + L"\t" + r.size1 + L"\t" + r.size2 + L"\t" + r.mode + L"\t" + r.detail +
                    L"\t" + t1 + L"\t" + t2 + L"\n";
        else
            text += L"{\"verdict\":\"" + r.verdict + L"\",\"name\":\"" + escape(r.name, true) + L"\",\"size1\":" + json(r.size1, false) +
                    L",\"size2\":" + json(r.size2, false) + L",\"mode\":" + json(r.mode, true) + L",\"detail\":" +
                    json(r.detail, r.detail.find_first_not_of(L"0123456789") != std::wstring::npos) + L",\"time1\":" +
                    json(t1, true) + L",\"time2\":" + json(t2, true) + L"}\n";
    }
    return text;
}

bool IsRowTime(const std::wstring& text)
{
    static const std::wregex time(L"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{0,6}[1-9])?Z");
    return std::regex_match(text, time);
}

void ExpectRows(const Result& r, const std::string& format, const std::vector<Row>& rows)
{
    // Each well-formed time as "T": the times of files made by the test are whatever the clock said.
    static const std::wregex jsonTime(L"\"(time[12])\":\"([^\"]*)\"");
    const std::wstring out = FromUtf8(r.out);
    std::wstring shown;
    std::wistringstream lines(out);
    std::wstring line;
    for (bool bHeader = format == "tsv"; std::getline(lines, line); bHeader = false)
    {
        if (bHeader)
        {
            shown += line + L"\n";
            continue;
        }
        if (format == "tsv")
        {
            const size_t nTab2 = line.rfind(L'\t'), nTab1 = nTab2 == std::wstring::npos || nTab2 == 0 ? nTab2 : line.rfind(L'\t', nTab2 - 1);
            if (nTab1 != std::wstring::npos)
            {
                std::wstring t1 = line.substr(nTab1 + 1, nTab2 - nTab1 - 1), t2 = line.substr(nTab2 + 1);
                line = line.substr(0, nTab1 + 1) + (IsRowTime(t1) ? L"T" : t1) + L"\t" + (IsRowTime(t2) ? L"T" : t2);
            }
        }
        else
        {
            std::wstring rest = line, done;
            std::wsmatch m;
            while (std::regex_search(rest, m, jsonTime))
            {
                done += m.prefix().str() + L"\"" + m[1].str() + L"\":\"" + (IsRowTime(m[2].str()) ? L"T" : m[2].str()) + L"\"";
                rest = m.suffix().str();
            }
            line = done + rest;
        }
        shown += line + L"\n";
    }
    EXPECT_EQ(shown, Render(format, rows));
}

std::vector<std::wstring> With(std::vector<std::wstring> args, const std::string& format)
{
    args.insert(args.begin(), {L"--format", format == "tsv" ? L"tsv" : L"jsonl"});
    return args;
}

std::wstring N(UINT64 n)
{
    return std::to_wstring(n);
}

ExclusiveHold::ExclusiveHold(const std::wstring& path, DWORD dwFlags)
    : h(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, dwFlags, nullptr))
{
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
}

// Where the console cannot (Wine 8 has no console to send it through), Ctrl+Break is delivered the way Windows
// itself does: a thread started in the target at kernelbase's CtrlRoutine, which runs the target's handler chain.
// System DLLs sit at the same address in every process.
void SendCtrlBreak(const PROCESS_INFORMATION& pi)
{
    if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi.dwProcessId))
        SendCtrlEvent(pi, CTRL_BREAK_EVENT);
}

// Console close, log-off and shutdown have no GenerateConsoleCtrlEvent at all: these always come this way.
void SendCtrlEvent(const PROCESS_INFORMATION& pi, DWORD dwEvent)
{
    auto pfn = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    ASSERT_NE(pfn, nullptr);
    HANDLE h = ::CreateRemoteThread(pi.hProcess, nullptr, 0, pfn, reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(dwEvent)), 0, nullptr);
    ASSERT_NE(h, nullptr);
    // The thread ends with the process where the handler ends it.
    EXPECT_EQ(::WaitForSingleObject(h, 30000), WAIT_OBJECT_0);
    ::CloseHandle(h);
}

Result BreakWhileComparing(Sides& s, const std::wstring& name, std::vector<std::wstring> options)
{
    options.push_back(L"--progress");
    Child child(s.Args(options), std::wstring(), CREATE_NEW_PROCESS_GROUP);
    std::string utf8(::WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, nullptr, 0, nullptr, nullptr) - 1, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, &utf8[0], static_cast<int>(utf8.size()) + 1, nullptr, nullptr);
    EXPECT_TRUE(child.Err().WaitFor([&](const std::string& err) { return err.find(utf8) != std::string::npos; }, 60000));
    SendCtrlBreak(child.Info());
    return child.Finish(20000);
}

std::wstring FolderFromEnvironment(const char* pszVariable)
{
    char unix[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableA(pszVariable, unix, sizeof unix);
    EXPECT_TRUE(n > 0 && n < sizeof unix) << pszVariable;
    return n > 0 && n < sizeof unix ? FromUnix(unix) : std::wstring(L"Z:\\no-such-folder");
}

std::vector<std::pair<std::wstring, ParsedRow>> ParseTsv(const std::string& out)
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
        if (f.size() != 8)
        {
            ADD_FAILURE() << "not a row: " << ::testing::PrintToString(line);
            continue;
        }
        std::wstring name;
        for (size_t i = 0; i < f[1].size(); ++i)
            name += f[1][i] == L'\\' && i + 1 < f[1].size() ? f[1][++i] : f[1][i];
        rows.push_back({name, ParsedRow{f[0], f[2], f[3], f[4], f[5], f[6], f[7]}});
    }
    return rows;
}
