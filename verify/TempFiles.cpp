// TempFiles: a list under a slim lock, which the console's close handler can take from its own thread.
#include "TempFiles.h"
#include <windows.h>
#include <algorithm>
#include <vector>

namespace
{
SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<std::wstring>& Files()
{
    static std::vector<std::wstring> s_files;
    return s_files;
}
}

void TempFiles::Add(const std::wstring& path)
{
    ::AcquireSRWLockExclusive(&g_lock);
    Files().push_back(path);
    ::ReleaseSRWLockExclusive(&g_lock);
}

void TempFiles::Remove(const std::wstring& path)
{
    ::AcquireSRWLockExclusive(&g_lock);
    std::vector<std::wstring>& files = Files();
    files.erase(std::remove(files.begin(), files.end(), path), files.end());
    ::ReleaseSRWLockExclusive(&g_lock);
}

void TempFiles::DeleteAll()
{
    ::AcquireSRWLockExclusive(&g_lock);
    for (const std::wstring& path : Files())
        ::DeleteFileW(path.c_str());
    Files().clear();
    ::ReleaseSRWLockExclusive(&g_lock);
}
