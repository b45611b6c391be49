// OutputPaths: the paths compared as Win32 opens them, then the files themselves where both exist.
#include "OutputPaths.h"
#include "ExactPath.h"
#include <windows.h>

namespace
{
// The file's volume and ID, read through a handle that asks for no data access, so neither a file held by
// another program nor a share mode stands in the way. False where the file does not exist or the volume keeps
// no IDs (FAT on some redirectors answers 0).
bool FileKey(const std::wstring& path, DWORD& dwVolume, ULONGLONG& nId)
{
    HANDLE h = ::CreateFileW(ToExactPath(path.c_str()).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool bKnown = ::GetFileInformationByHandle(h, &info) != FALSE;
    ::CloseHandle(h);
    dwVolume = info.dwVolumeSerialNumber;
    nId = static_cast<ULONGLONG>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return bKnown && nId != 0;
}
}

bool OutputPaths::SameFile(const std::wstring& a, const std::wstring& b)
{
    const std::wstring fullA = FullPath(a), fullB = FullPath(b);
    if (::CompareStringOrdinal(fullA.c_str(), static_cast<int>(fullA.size()), fullB.c_str(), static_cast<int>(fullB.size()),
                               TRUE) == CSTR_EQUAL)
        return true;
    DWORD dwVolume[2];
    ULONGLONG nId[2];
    return FileKey(fullA, dwVolume[0], nId[0]) && FileKey(fullB, dwVolume[1], nId[1]) && dwVolume[0] == dwVolume[1] &&
           nId[0] == nId[1];
}

bool OutputPaths::FindClash(const std::vector<std::wstring>& paths, size_t& nFirst, size_t& nSecond)
{
    for (size_t i = 0; i < paths.size(); ++i)
        for (size_t j = i + 1; j < paths.size(); ++j)
            if (!paths[i].empty() && !paths[j].empty() && SameFile(paths[i], paths[j]))
            {
                nFirst = i;
                nSecond = j;
                return true;
            }
    return false;
}
