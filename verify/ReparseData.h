// What a folder's reparse data says it leads to, read only within the bytes the system returned.
#pragma once
#include <windows.h>
#include <string>

namespace ReparseData
{
// The substitute name of a mount-point (junction or volume mount point) buffer of nGot bytes as
// FSCTL_GET_REPARSE_POINT fills it. False where the buffer is too short for its header or its offsets and lengths
// point past nGot: the data came from a driver or a server, and a hostile one may say anything.
bool MountPointTarget(const void* pData, DWORD nGot, std::wstring& target);
}
