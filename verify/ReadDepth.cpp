// ReadDepth: a share, a spinning disk or anything else, told by the folder's volume.
#include "ReadDepth.h"
#include "ExactPath.h"
#include <winioctl.h>

namespace
{
UINT DriveType(LPCWSTR pszRoot)
{
    return ::GetDriveTypeW(pszRoot);
}

// Asks the volume's device one storage property; false where it cannot be asked or does not answer.
template <class Answer>
bool QueryProperty(LPCWSTR pszRoot, STORAGE_PROPERTY_ID id, Answer& answer)
{
    // The volume's device, by its name for the mount point, which also serves a volume mounted in a folder.
    wchar_t szVolume[MAX_PATH];
    if (!::GetVolumeNameForVolumeMountPointW(pszRoot, szVolume, MAX_PATH))
        return false;
    std::wstring device = szVolume;
    if (!device.empty() && device.back() == L'\\')
        device.pop_back();
    // No access rights are needed to ask the device about itself.
    HANDLE h = ::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = id;
    query.QueryType = PropertyStandardQuery;
    DWORD nGot = 0;
    const bool bAnswered = ::DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &answer, sizeof answer,
                                             &nGot, nullptr) && nGot >= sizeof answer;
    ::CloseHandle(h);
    return bAnswered;
}

int SeekPenalty(LPCWSTR pszRoot)
{
    DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
    return QueryProperty(pszRoot, StorageDeviceSeekPenaltyProperty, answer) ? (answer.IncursSeekPenalty ? 1 : 0) : -1;
}

int BusType(LPCWSTR pszRoot)
{
    // The descriptor's fixed part; the strings that follow it are not needed.
    STORAGE_DEVICE_DESCRIPTOR answer{};
    return QueryProperty(pszRoot, StorageDeviceProperty, answer) ? static_cast<int>(answer.BusType) : -1;
}

// Many USB bridges, and card readers, do not answer the seek-penalty query; behind them is as often a spinning disk
// as not, and a stick or a card serves one request at a time anyway.
bool IsOneAtATimeBus(int nBus)
{
    return nBus == BusTypeUsb || nBus == BusType1394 || nBus == BusTypeSd || nBus == BusTypeMmc;
}

std::wstring BusName(int nBus)
{
    switch (nBus)
    {
    case -1: return L"?";
    case BusTypeUsb: return L"USB";
    case BusType1394: return L"1394";
    case BusTypeSd: return L"SD";
    case BusTypeMmc: return L"MMC";
    case BusTypeAta: return L"ATA";
    case BusTypeSata: return L"SATA";
    case BusTypeSas: return L"SAS";
    case BusTypeScsi: return L"SCSI";
    case BusTypeNvme: return L"NVMe";
    default: return std::to_wstring(nBus);
    }
}
}

UINT32 ReadDepth::ForFolder(const std::wstring& strFolder, const CVolumeQueries* pQueries, std::wstring* pWhy,
                            CRange* pRange)
{
    CRange range;
    if (!pRange)
        pRange = &range;
    CVolumeQueries system;
    system.pfnDriveType = DriveType;
    system.pfnSeekPenalty = SeekPenalty;
    system.pfnBusType = BusType;
    const CVolumeQueries& ask = pQueries ? *pQueries : system;
    auto answer = [pWhy, pRange](const wchar_t* pszWhy, UINT32 nDepth, UINT32 nLeast = 1, UINT32 nMost = kMost) {
        if (pWhy)
            *pWhy = pszWhy;
        pRange->nLeast = nLeast;
        pRange->nMost = nMost;
        return nDepth;
    };
    // "\\server\share", and its literal forms; "\\?\Volume{...}\" is a local volume by its name.
    auto isShare = [](const std::wstring& path) {
        const bool bLiteral = path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0;
        return path.compare(0, 2, L"\\\\") == 0 && (!bLiteral || path.compare(4, 4, L"UNC\\") == 0);
    };
    if (isShare(strFolder))
        return answer(L"share", kNetwork, 2);
    const std::wstring exact = ToExactPath(strFolder.c_str());
    std::wstring root(exact.size() + 2, L'\0');
    if (!::GetVolumePathNameW(exact.c_str(), &root[0], static_cast<DWORD>(root.size())))
        return answer(L"volume ?", kLocal);
    root.resize(wcslen(root.c_str()));
    // The plain form: the volume calls take "C:\", and a mapped drive answers for its share.
    if (root.compare(0, 4, L"\\\\?\\") == 0 && root.size() >= 7 && root[5] == L':')
        root = root.substr(4);
    if (isShare(root))
        return answer(L"share", kNetwork, 2);
    if (ask.pfnDriveType(root.c_str()) == DRIVE_REMOTE)
        return answer(L"remote drive", kNetwork, 2);
    const int nPenalty = ask.pfnSeekPenalty(root.c_str());
    if (nPenalty >= 0)
        return nPenalty ? answer(L"seek penalty: yes", kSpinning, 1, 1) : answer(L"seek penalty: no", kLocal);
    // Only where the seek penalty is not known: a USB bridge that says "no penalty" is believed.
    const int nBus = ask.pfnBusType(root.c_str());
    if (pWhy)
        *pWhy = L"seek penalty: ?, bus: " + BusName(nBus);
    // Behind a bridge that does not say may be a disk that spins or one that does not: found while it reads.
    *pRange = CRange();
    return IsOneAtATimeBus(nBus) ? kSpinning : kLocal;
}
