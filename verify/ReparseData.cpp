// ReparseData: the mount-point layout of REPARSE_DATA_BUFFER, which only the driver kit's headers declare.
#include "ReparseData.h"
#include <cstddef>
#include <cstring>

namespace
{
struct MountPointHeader
{
    DWORD dwTag;
    WORD nDataLength, nReserved;
    WORD nSubstituteOffset, nSubstituteLength, nPrintOffset, nPrintLength;
};
}

bool ReparseData::MountPointTarget(const void* pData, DWORD nGot, std::wstring& target)
{
    target.clear();
    if (nGot < sizeof(MountPointHeader))
        return false;
    MountPointHeader head;
    std::memcpy(&head, pData, sizeof head);
    // The offsets count from the path buffer, which follows the header.
    const size_t nPathBytes = nGot - sizeof head;
    const size_t nOffset = head.nSubstituteOffset, nLength = head.nSubstituteLength;
    if (nOffset > nPathBytes || nLength > nPathBytes - nOffset || nOffset % sizeof(WCHAR) || nLength % sizeof(WCHAR))
        return false;
    target.resize(nLength / sizeof(WCHAR));
    if (nLength)
        std::memcpy(&target[0], static_cast<const BYTE*>(pData) + sizeof head + nOffset, nLength);
    return true;
}
