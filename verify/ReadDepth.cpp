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

int SeekPenalty(LPCWSTR pszRoot)
{
    // The volume's device, by its name for the mount point, which also serves a volume mounted in a folder.
    wchar_t szVolume[MAX_PATH];
    if (!::GetVolumeNameForVolumeMountPointW(pszRoot, szVolume, MAX_PATH))
        return -1;
    std::wstring device = szVolume;
    if (!device.empty() && device.back() == L'\\')
        device.pop_back();
    // No access rights are needed to ask the device about itself.
    HANDLE h = ::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceSeekPenaltyProperty;
    query.QueryType = PropertyStandardQuery;
    DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
    DWORD nGot = 0;
    const bool bAnswered = ::DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &answer, sizeof answer,
                                             &nGot, nullptr) && nGot >= sizeof answer;
    ::CloseHandle(h);
    return bAnswered ? (answer.IncursSeekPenalty ? 1 : 0) : -1;
}
}

UINT32 ReadDepth::ForFolder(const std::wstring& strFolder, const CVolumeQueries* pQueries)
{
    CVolumeQueries system;
    system.pfnDriveType = DriveType;
    system.pfnSeekPenalty = SeekPenalty;
    const CVolumeQueries& ask = pQueries ? *pQueries : system;
    // "\\server\share", and its literal forms; "\\?\Volume{...}\" is a local volume by its name.
    auto isShare = [](const std::wstring& path) {
        const bool bLiteral = path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0;
        return path.compare(0, 2, L"\\\\") == 0 && (!bLiteral || path.compare(4, 4, L"UNC\\") == 0);
    };
    if (isShare(strFolder))
        return kNetwork;
    const std::wstring exact = ToExactPath(strFolder.c_str());
    std::wstring root(exact.size() + 2, L'\0');
    if (!::GetVolumePathNameW(exact.c_str(), &root[0], static_cast<DWORD>(root.size())))
        return kLocal;
    root.resize(wcslen(root.c_str()));
    // The plain form: the volume calls take "C:\", and a mapped drive answers for its share.
    if (root.compare(0, 4, L"\\\\?\\") == 0 && root.size() >= 7 && root[5] == L':')
        root = root.substr(4);
    if (isShare(root) || ask.pfnDriveType(root.c_str()) == DRIVE_REMOTE)
        return kNetwork;
    return ask.pfnSeekPenalty(root.c_str()) == 1 ? kSpinning : kLocal;
}
