// CSectorSizes: the sector size of the volume each file lies on, asked once per volume and remembered per folder.
#pragma once
#include <windows.h>
#include <map>
#include <string>

// Shared by every reader of a stream: its own slim lock, held only while the maps are looked at.
class CSectorSizes
{
public:
    // The sector size of the volume under the file pszPath (a full path as the user sees it); 0 where the volume's
    // cannot be had.
    UINT32 Of(LPCWSTR pszPath);

private:
    bool FolderSector(const std::wstring& folder, UINT32& nSector);
    void RememberFolder(const std::wstring& folder, UINT32 nSector);
    UINT32 VolumeSector(const std::wstring& exact);

    SRWLOCK m_lock = SRWLOCK_INIT;
    std::map<std::wstring, UINT32> m_ofFolder;  // the recent folders only
    std::map<std::wstring, UINT32> m_ofVolume;  // by volume root
};
