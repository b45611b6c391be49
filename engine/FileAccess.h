// What both comparers do with files alike: open a disk file by its exact name, fit a block to two volumes'
// sectors, and find where two runs of bytes part.
#pragma once
#include <windows.h>

namespace FileAccess
{
const UINT32 kNormalBlock = 0x100000;  // 1 MiB: the buffered block, and the largest unbuffered one

// Opens the file the path names, as the user sees it, by its exact name (see ToExactPath) for reading. Only a
// disk file is handed out: a port would block a reader for ever, and a console or the null device deliver
// nothing, which would let two different files pass as the same. Anything else fails with ERROR_ACCESS_DENIED.
HANDLE OpenDiskFile(LPCWSTR pszPath, DWORD dwShareMode, DWORD dwFlags);
// The same open without the disk-only rule, for a caller that applies it itself (IsDiskFile). With
// FILE_FLAG_BACKUP_SEMANTICS (which lets the backup privilege pass the file's ACL) a folder fails as ERROR_ACCESS_DENIED.
HANDLE OpenFile(LPCWSTR pszPath, DWORD dwShareMode, DWORD dwFlags);
// Whether an open handle is a disk file's. Under Wine asking reads the file's first bytes (a device placeholder
// test), which on a share is a request of its own.
bool IsDiskFile(HANDLE h);

// The least common multiple of two sector sizes, or 0 when either is 0 or the multiple passes 8 MiB.
UINT32 LeastCommonMultiple(UINT32 a, UINT32 b);
// The unbuffered block for two sector sizes: the largest common multiple up to 1 MiB, or 0 to read buffered.
UINT32 FitBlockSize(UINT32 nSector1, UINT32 nSector2);

// The file system's 64-bit index of an open file or folder. One file always has one index; two files on
// different volumes, or on ReFS even on one, can share it, so equal indexes call for GetFileIdentity. False where
// the query fails or the volume has no IDs (an index of 0 or all ones): then nothing can be told by identity.
bool GetFileIndex(HANDLE h, UINT64& nIndex);

// The whole identity of an open file or folder: its volume's serial number and its file ID, 128 bits where the
// system has them (ReFS needs them), else the 64-bit index. Under Wine asking for the serial is a round trip to
// its mount manager, over a millisecond: ask the index first, and this only where two indexes agree.
struct CFileIdentity
{
    ULONGLONG nVolume = 0;
    BYTE id[16] = {};
    bool operator==(const CFileIdentity& other) const;
};
// False where the query fails or the ID is none (0 or all ones).
bool GetFileIdentity(HANDLE h, CFileIdentity& identity);

// Offset of the first byte that differs in two runs of n bytes; n when they are equal.
UINT32 FirstMismatch(const BYTE* p1, const BYTE* p2, UINT32 n);
}
