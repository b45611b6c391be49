// tavik-verify: the command line of the console program, for scripts and scheduled checks of copies.
#include "ConsoleOut.h"
#include "ExitCode.h"
#include "VerifyRun.h"
#include "resource.h"
#include <cwchar>
#include <vector>

namespace
{
enum ParseResult { kParsed, kHelp, kVersion, kBadUsage };

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
    if (folders.size() != 2)
    {
        strError = LoadText(IDS_CLI_NEED_TWO_FOLDERS);
        return kBadUsage;
    }
    options.strFolder[0] = folders[0];
    options.strFolder[1] = folders[1];
    return kParsed;
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
}

int wmain(int argc, wchar_t** argv)
{
    // A drive without a medium fails like any folder that cannot be listed, without a box nobody would answer.
    ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    COutputStream out(STD_OUTPUT_HANDLE);
    COutputStream err(STD_ERROR_HANDLE);
    CVerifyOptions options;
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
        err.Write(strError + L"\n" + LoadText(IDS_CLI_USAGE) + L"\n");
        return ExitCode::kTrouble;
    case kParsed:
        break;
    }
    CVerifyRun run(options, out, err);
    return run.Run();
}
