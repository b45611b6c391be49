// FileAccess: exact opening with the disk-only rule, block fitting and the first differing byte.
#include "FileAccess.h"
#include "ExactPath.h"
#include <cstring>

namespace FileAccess
{
namespace
{
const UINT32 kLargestMultiple = 0x800000;

// FILE_ID_INFO and its class, which the headers only declare for Windows 8 and later; older systems refuse the
// class and the 64-bit file index with the volume's serial stands in.
const FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdInfo
{
    ULONGLONG VolumeSerialNumber;
    BYTE FileId[16];
};

// NtQueryInformationFile and the class of the file index, for which Win32 has no call of its own.
typedef LONG(NTAPI* PFN_NT_QUERY_INFORMATION_FILE)(HANDLE, void*, void*, ULONG, int);
const int kFileInternalInformation = 6;

// A file system without IDs answers 0, one without unique IDs all ones (MS-FSCC, FileInternalInformation and
// FILE_ID_128): every file would share them, so they identify nothing.
bool IsId(const BYTE* p, size_t n)
{
    bool bZero = true, bOnes = true;
    for (size_t i = 0; i < n; ++i)
    {
        bZero = bZero && p[i] == 0;
        bOnes = bOnes && p[i] == 0xFF;
    }
    return !bZero && !bOnes;
}
}

HANDLE OpenFile(LPCWSTR pszPath, DWORD dwShareMode, DWORD dwFlags)
{
    HANDLE h = ::CreateFileW(ToExactPath(pszPath).c_str(), GENERIC_READ, dwShareMode, nullptr, OPEN_EXISTING, dwFlags, nullptr);
    // Backup semantics open a folder too, whose handle has no bytes: a name listed as a file that has become a folder
    // since must not pass for an empty file.
    FILE_BASIC_INFO info;
    if (h != INVALID_HANDLE_VALUE && (dwFlags & FILE_FLAG_BACKUP_SEMANTICS) &&
        (!::GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info) || (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)))
    {
        ::CloseHandle(h);
        ::SetLastError(ERROR_ACCESS_DENIED);
        h = INVALID_HANDLE_VALUE;
    }
    return h;
}

bool IsDiskFile(HANDLE h)
{
    return ::GetFileType(h) == FILE_TYPE_DISK;
}

HANDLE OpenDiskFile(LPCWSTR pszPath, DWORD dwShareMode, DWORD dwFlags)
{
    HANDLE h = OpenFile(pszPath, dwShareMode, dwFlags);
    if (h != INVALID_HANDLE_VALUE && !IsDiskFile(h))
    {
        ::CloseHandle(h);
        ::SetLastError(ERROR_ACCESS_DENIED);
        h = INVALID_HANDLE_VALUE;
    }
    return h;
}

UINT32 LeastCommonMultiple(UINT32 a, UINT32 b)
{
    if (a == b)
        return a;
    // A zero size would never grow; a size near 2^32 would wrap in 32 bits. Neither may loop forever.
    if (a == 0 || b == 0)
        return 0;
    UINT64 x = a, y = b;
    for (;;)
    {
        if (x < y)
            x += a;
        else
            y += b;
        if (x > kLargestMultiple || y > kLargestMultiple)
            return 0;
        if (x == y)
            return static_cast<UINT32>(x);
    }
}

UINT32 FitBlockSize(UINT32 nSector1, UINT32 nSector2)
{
    // A volume reporting 0 bytes per sector tells us nothing we could align to.
    if (nSector1 == 0 || nSector2 == 0)
        return 0;
    const UINT32 nMultiple = LeastCommonMultiple(nSector1, nSector2);
    if (nMultiple == 0 || nMultiple > kNormalBlock)
        return 0;
    return (kNormalBlock / nMultiple) * nMultiple;
}

bool GetFileIndex(HANDLE h, UINT64& nIndex)
{
    static const PFN_NT_QUERY_INFORMATION_FILE pfn = reinterpret_cast<PFN_NT_QUERY_INFORMATION_FILE>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    struct
    {
        void* pStatus;
        ULONG_PTR nInformation;
    } ioStatus{};
    LARGE_INTEGER index{};
    if (!pfn || pfn(h, &ioStatus, &index, sizeof index, kFileInternalInformation) < 0 ||
        !IsId(reinterpret_cast<const BYTE*>(&index), sizeof index))
        return false;
    nIndex = static_cast<UINT64>(index.QuadPart);
    return true;
}

bool CFileIdentity::operator==(const CFileIdentity& other) const
{
    return nVolume == other.nVolume && std::memcmp(id, other.id, sizeof id) == 0;
}

bool GetFileIdentity(HANDLE h, CFileIdentity& identity)
{
    FileIdInfo info;
    if (::GetFileInformationByHandleEx(h, kFileIdInfo, &info, sizeof info))
    {
        identity.nVolume = info.VolumeSerialNumber;
        std::memcpy(identity.id, info.FileId, sizeof identity.id);
        return IsId(identity.id, sizeof identity.id);
    }
    BY_HANDLE_FILE_INFORMATION bhfi;
    if (!::GetFileInformationByHandle(h, &bhfi))
        return false;
    identity.nVolume = bhfi.dwVolumeSerialNumber;
    const UINT64 index = (static_cast<UINT64>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow;
    std::memset(identity.id, 0, sizeof identity.id);
    std::memcpy(identity.id, &index, sizeof index);
    return IsId(identity.id, sizeof index);
}

UINT32 FirstMismatch(const BYTE* p1, const BYTE* p2, UINT32 n)
{
    UINT32 i = 0;
    // Eight bytes at a time until the word that differs, then byte by byte inside it.
    for (; i + 8 <= n; i += 8)
    {
        UINT64 w1, w2;
        std::memcpy(&w1, p1 + i, 8);
        std::memcpy(&w2, p2 + i, 8);
        if (w1 != w2)
            break;
    }
    while (i < n && p1[i] == p2[i])
        ++i;
    return i;
}
}
