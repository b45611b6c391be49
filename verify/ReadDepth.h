// How many files of a side to keep in flight: as many as its device can serve at once without being slowed.
#pragma once
#include <windows.h>
#include <string>

// The questions asked of a volume, replaceable in tests: Wine answers none of the storage queries.
struct CVolumeQueries
{
    UINT (*pfnDriveType)(LPCWSTR pszRoot) = nullptr;
    // 1 where the volume's disk incurs a seek penalty (it spins), 0 where it does not, -1 where nobody says.
    int (*pfnSeekPenalty)(LPCWSTR pszRoot) = nullptr;
    // The bus the volume's device hangs on (a STORAGE_BUS_TYPE: BusTypeUsb, BusTypeSata...), -1 where nobody says.
    int (*pfnBusType)(LPCWSTR pszRoot) = nullptr;
};

namespace ReadDepth
{
const UINT32 kNetwork = 8;   // every request waits for the server: overlap many
const UINT32 kSpinning = 1;  // one file after the other, in order: a head moving between files costs more
const UINT32 kLocal = 4;     // flash, or a device that does not say

const UINT32 kMost = 64;

// The range a depth is found in while the run reads, from the rates the device gives: a disk that spins stays at
// one file at a time, a network volume keeps at least 2 in flight, since every request waits for the server.
struct CRange
{
    UINT32 nLeast = 1, nMost = kMost;
};

// The depth to start from for files under strFolder, a full folder path as the user sees it ("C:\x\",
// "\\server\share\x\"). pWhy, when given, gets what the volume answered, in words for a person who wonders why a
// run is slow: "share", "remote drive", "seek penalty: yes", "seek penalty: ?, bus: USB"; pRange the range to find
// the depth in.
UINT32 ForFolder(const std::wstring& strFolder, const CVolumeQueries* pQueries = nullptr, std::wstring* pWhy = nullptr,
                 CRange* pRange = nullptr);
}
