// tavik-verify: the command line of the console program, for scripts and scheduled checks of copies.
#include "ConsoleOut.h"
#include "ExitCode.h"
#include "OutputPaths.h"
#include "VerifyRun.h"
#include "resource.h"
#include <cstring>
#include <cwchar>
#include <exception>
#include <stdexcept>
#include <vector>

namespace
{
COutputStream* g_pErr = nullptr;
std::wstring g_strUnexpected;  // loaded before anything can go wrong: a crashed process should not load texts

// Any end the run did not choose is trouble, with its own status: the C runtime's abort would end with 3, which
// a script reads as Ctrl+C, and a crash with a negative status that "if errorlevel 1" never sees. TerminateProcess,
// as a second Ctrl+C ends: from a crash filter ExitProcess would run DLL detach code in a broken process, and the
// temporary output files need no one but the system, which deletes them with their handles.
[[noreturn]] void EndUnexpectedly(const std::wstring& what)
{
    if (g_pErr)
        g_pErr->Write(InertText(g_strUnexpected + what) + L"\n");
    ::TerminateProcess(::GetCurrentProcess(), ExitCode::kTrouble);
    for (;;)
        ::Sleep(INFINITE);  // TerminateProcess on the own process does not return
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* pInfo)
{
    wchar_t buf[16];
    swprintf(buf, 16, L"0x%08lx", static_cast<unsigned long>(pInfo->ExceptionRecord->ExceptionCode));
    EndUnexpectedly(buf);
}

#ifdef TAVIK_VERIFY_SEAM
// Tests only: what Wine cannot store or do, chosen by the names of the test's own files. "attr+1000-x" is listed
// with attribute 0x1000 added, "attr-400-x" with 0x400 taken away; "end-throw", "end-terminate" and "end-crash"
// end the run in those ways while it lists.
DWORD SeamAttributes(LPCWSTR pszName, DWORD dwAttributes)
{
    if (wcsncmp(pszName, L"attr", 4) == 0 && (pszName[4] == L'+' || pszName[4] == L'-'))
    {
        const DWORD dwBits = wcstoul(pszName + 5, nullptr, 16);
        return pszName[4] == L'+' ? dwAttributes | dwBits : dwAttributes & ~dwBits;
    }
    if (wcscmp(pszName, L"end-throw") == 0)
        throw std::runtime_error("seam");
    if (wcscmp(pszName, L"end-terminate") == 0)
        std::terminate();
    if (wcscmp(pszName, L"end-crash") == 0)
        ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return dwAttributes;
}

// The storage answers Wine never gives, from TAVIK_SEAM_VOLUME="<seek penalty>,<bus type>" (-1: no answer).
int SeamVolumeAnswer(int nField)
{
    wchar_t buf[32];
    const DWORD n = ::GetEnvironmentVariableW(L"TAVIK_SEAM_VOLUME", buf, 32);
    if (n == 0 || n >= 32)
        return -1;
    const wchar_t* p = buf;
    if (nField == 1)
        p = wcschr(buf, L',') ? wcschr(buf, L',') + 1 : L"-1";
    return static_cast<int>(wcstol(p, nullptr, 10));
}
UINT SeamDriveType(LPCWSTR)
{
    return DRIVE_FIXED;
}
int SeamSeekPenalty(LPCWSTR)
{
    return SeamVolumeAnswer(0);
}
int SeamBusType(LPCWSTR)
{
    return SeamVolumeAnswer(1);
}
#endif

// The backup privilege lets a handle opened with backup semantics read past the file's ACL, as a backup program
// reads. An administrator's token holds it disabled; anybody else's lacks it, and AdjustTokenPrivileges then
// succeeds all the same, saying so only through ERROR_NOT_ALL_ASSIGNED.
bool EnableBackupPrivilege()
{
#ifdef TAVIK_VERIFY_SEAM
    // Wine gives every token every privilege: the test asks for a refusal through the environment.
    if (::GetEnvironmentVariableW(L"TAVIK_SEAM_NO_BACKUP_PRIVILEGE", nullptr, 0) != 0)
    {
        ::SetLastError(ERROR_NOT_ALL_ASSIGNED);
        return false;
    }
#endif
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool bEnabled = ::LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &privileges.Privileges[0].Luid) &&
                    ::AdjustTokenPrivileges(hToken, FALSE, &privileges, 0, nullptr, nullptr) &&
                    ::GetLastError() == ERROR_SUCCESS;
    const DWORD dwError = ::GetLastError();
    ::CloseHandle(hToken);
    ::SetLastError(dwError);
    return bEnabled;
}

enum ParseResult { kParsed, kHelp, kVersion, kBadUsage };

// The patterns of --exclude and --exclude-from, checked before anything is listed: a pattern that could match
// nothing, or a file of them that cannot be read, would turn a nightly check loud for no fault of the backup.
bool AddExclusion(const std::wstring& option, const std::wstring& value, CPathFilter& filter, std::wstring& strError)
{
    std::wstring bad = value;
    const CPathFilter::Error error = option == L"--exclude" ? filter.Add(value) : filter.AddFile(value, bad);
    if (error == CPathFilter::kOk)
        return true;
    strError = error == CPathFilter::kEmpty            ? LoadText(IDS_CLI_EXCLUDE_EMPTY)
               : error == CPathFilter::kSeparatorsOnly ? LoadText(IDS_CLI_EXCLUDE_SEPARATORS, bad)
                                                       : LoadText(IDS_CLI_EXCLUDE_CANNOT_READ, value);
    return false;
}

ParseResult ParseArguments(int argc, wchar_t** argv, CVerifyOptions& options, std::wstring& strError)
{
    std::vector<std::wstring> folders;
    bool bOptionsEnded = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring arg = argv[i];
        if (bOptionsEnded || arg.size() < 2 || arg[0] != L'-')
        {
            folders.push_back(arg);
            continue;
        }
        if (arg == L"--")
            bOptionsEnded = true;
        else if (arg == L"-r" || arg == L"--recursive")
            options.bRecursive = true;
        else if (arg == L"--all")
            options.bAll = true;
        else if (arg == L"--recall")
            options.bRecall = true;
        else if (arg == L"--backup")
            options.bBackup = true;
        else if (arg == L"--verbose")
            options.bVerbose = true;
        else if (arg == L"--buffered")
            options.bBuffered = true;
        else if (arg == L"--stop-on-diff")
            options.bStopOnDiff = true;
        else if (arg == L"--progress")
            options.bProgress = true;
        else if (arg == L"-q" || arg == L"--quiet")
            options.bQuiet = true;
        else if (arg == L"-h" || arg == L"--help" || arg == L"/?")
            return kHelp;
        else if (arg == L"--version")
            return kVersion;
        else if (arg == L"--depth" || arg.compare(0, 8, L"--depth=") == 0)
        {
            const std::wstring value = arg == L"--depth" ? (i + 1 < argc ? argv[++i] : L"") : arg.substr(8);
            wchar_t* pEnd = nullptr;
            const unsigned long n = value.empty() ? 0 : wcstoul(value.c_str(), &pEnd, 10);
            if (value.empty() || *pEnd != L'\0' || value[0] < L'0' || value[0] > L'9' || n < 1 || n > CPairStream::kMaxDepth)
            {
                strError = LoadText(IDS_CLI_BAD_DEPTH);
                return kBadUsage;
            }
            options.nDepth = static_cast<UINT32>(n);
        }
        else if (arg == L"--manifest" || arg == L"--check" || arg == L"--report" || arg == L"--journal")
        {
            if (i + 1 >= argc)
            {
                strError = LoadText(IDS_CLI_BAD_OPTION, arg);
                return kBadUsage;
            }
            (arg == L"--check" ? options.strCheck : arg == L"--report" ? options.strReport
                               : arg == L"--journal" ? options.strJournal : options.strManifest) = argv[++i];
        }
        else if (arg == L"--exclude" || arg == L"--exclude-from")
        {
            if (i + 1 >= argc)
            {
                strError = LoadText(IDS_CLI_BAD_OPTION, arg);
                return kBadUsage;
            }
            if (!AddExclusion(arg, argv[++i], options.filter, strError))
                return kBadUsage;
            if (arg == L"--exclude-from")
                options.excludeFiles.push_back(argv[i]);
        }
        else if (arg == L"--format" || arg.compare(0, 9, L"--format=") == 0)
        {
            std::wstring value;
            if (arg == L"--format")
            {
                if (i + 1 >= argc)
                {
                    strError = LoadText(IDS_CLI_BAD_FORMAT);
                    return kBadUsage;
                }
                value = argv[++i];
            }
            else
                value = arg.substr(9);
            if (value == L"tsv")
                options.format = CRowWriter::kTsv;
            else if (value == L"jsonl")
                options.format = CRowWriter::kJsonl;
            else
            {
                strError = LoadText(IDS_CLI_BAD_FORMAT);
                return kBadUsage;
            }
        }
        else
        {
            strError = LoadText(IDS_CLI_BAD_OPTION, arg);
            return kBadUsage;
        }
    }
    if (!options.strCheck.empty())
    {
        // The manifest stands for side 1, and the folder audited is side 2; an audit writes no manifest.
        if (folders.size() != 1 || !options.strManifest.empty())
        {
            strError = LoadText(IDS_CLI_NEED_FOLDER);
            return kBadUsage;
        }
        options.strFolder[1] = folders[0];
        return kParsed;
    }
    if (folders.size() != 2)
    {
        strError = LoadText(IDS_CLI_NEED_TWO_FOLDERS);
        return kBadUsage;
    }
    options.strFolder[0] = folders[0];
    options.strFolder[1] = folders[1];
    return kParsed;
}

// False, with the message, where two of the files the run reads or writes are one: a report renamed over the
// manifest it audits would lose the only copy of the digests.
bool FilesApart(const CVerifyOptions& options, std::wstring& strError)
{
    std::vector<const wchar_t*> apszOption = {L"--check", L"--manifest", L"--report", L"--journal"};
    std::vector<std::wstring> paths = {options.strCheck, options.strManifest, options.strReport, options.strJournal};
    for (const std::wstring& file : options.excludeFiles)
    {
        apszOption.push_back(L"--exclude-from");
        paths.push_back(file);
    }
    size_t a = 0, b = 0;
    if (!OutputPaths::FindClash(paths, a, b))
        return true;
    strError = LoadText(IDS_CLI_SAME_FILE, apszOption[a], apszOption[b]);
    return false;
}

// The FileVersion of the program's own version block, so the version is written in one place only.
std::wstring ProgramVersion()
{
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = n > 0 && n < MAX_PATH ? ::GetFileVersionInfoSizeW(path, &ignored) : 0;
    std::vector<BYTE> info(size);
    WORD* translation = nullptr;
    wchar_t* value = nullptr;
    UINT len = 0;
    if (size == 0 || !::GetFileVersionInfoW(path, 0, size, info.data()) ||
        !::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len) ||
        len < 2 * sizeof(WORD))
        return std::wstring();
    wchar_t key[64];
    std::swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", translation[0], translation[1]);
    if (!::VerQueryValueW(info.data(), key, reinterpret_cast<void**>(&value), &len) || len == 0)
        return std::wstring();
    return value;
}

int Verify(int argc, wchar_t** argv, COutputStream& out, COutputStream& err)
{
    CVerifyOptions options;
#ifdef TAVIK_VERIFY_SEAM
    options.pfnAttributes = SeamAttributes;
    static CVolumeQueries s_seamVolume;
    s_seamVolume.pfnDriveType = SeamDriveType;
    s_seamVolume.pfnSeekPenalty = SeamSeekPenalty;
    s_seamVolume.pfnBusType = SeamBusType;
    if (::GetEnvironmentVariableW(L"TAVIK_SEAM_VOLUME", nullptr, 0) != 0)
        options.pVolumeQueries = &s_seamVolume;
#endif
    std::wstring strError;
    switch (ParseArguments(argc, argv, options, strError))
    {
    case kHelp:
        out.Write(LoadText(IDS_CLI_USAGE) + L"\n");
        return ExitCode::kSame;
    case kVersion:
    {
        const std::wstring version = ProgramVersion();
        if (version.empty())
            return ExitCode::kTrouble;
        out.Write(L"tavik-verify " + version + L"\n");
        return ExitCode::kSame;
    }
    case kBadUsage:
        err.Write(InertText(strError) + L"\n" + LoadText(IDS_CLI_USAGE) + L"\n");
        return ExitCode::kTrouble;
    case kParsed:
        if (!FilesApart(options, strError))
        {
            err.Write(InertText(strError) + L"\n" + LoadText(IDS_CLI_USAGE) + L"\n");
            return ExitCode::kTrouble;
        }
        break;
    }
    // Before anything is listed: a check that cannot read what the backup program read would only report
    // cannot-open for it, after the whole night's reading.
    if (options.bBackup && !EnableBackupPrivilege())
    {
        err.Write(LoadText(IDS_CLI_NO_BACKUP_PRIVILEGE) + L"\n");
        return ExitCode::kTrouble;
    }
    CVerifyRun run(options, out, err);
    return run.Run();
}
}

int wmain(int argc, wchar_t** argv)
{
    // A drive without a medium fails like any folder that cannot be listed, without a box nobody would answer.
    ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    COutputStream out(STD_OUTPUT_HANDLE);
    COutputStream err(STD_ERROR_HANDLE);
    g_pErr = &err;
    g_strUnexpected = LoadText(IDS_CLI_UNEXPECTED);
    std::set_terminate([] { EndUnexpectedly(L"std::terminate"); });
    ::SetUnhandledExceptionFilter(OnCrash);
    try
    {
        return Verify(argc, argv, out, err);
    }
    catch (const std::exception& e)
    {
        EndUnexpectedly(std::wstring(e.what(), e.what() + strlen(e.what())));
    }
    catch (...)
    {
        EndUnexpectedly(L"?");
    }
}

