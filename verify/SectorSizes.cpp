// CSectorSizes: a folder that is no reparse point lies on its parent's volume, so a tree asks its volume once.
#include "SectorSizes.h"
#include "ExactPath.h"
#include <cwchar>

namespace
{
const size_t kFoldersRemembered = 4096;
}

UINT32 CSectorSizes::Of(LPCWSTR pszPath)
{
    // Every file of a folder lies on the folder's volume (only a folder can be a mount point).
    const std::wstring path(pszPath);
    const size_t nSlash = path.rfind(L'\\');
    if (nSlash == std::wstring::npos)
        return 0;
    const std::wstring folder = path.substr(0, nSlash + 1);
    UINT32 nSector = 0;
    if (!FolderSector(folder, nSector))
        RememberFolder(folder, nSector = VolumeSector(ToExactPath(folder.c_str())));
    return nSector;
}

// A folder that is no reparse point lies on its parent's volume, so a tree asks the volume once and then one
// attribute query per folder: GetVolumePathName asks about every folder on the way up, each a request on a share.
// False where the folder's attributes cannot be had (above a share's root, say): then nothing is known of it.
bool CSectorSizes::FolderSector(const std::wstring& folder, UINT32& nSector)
{
    ::AcquireSRWLockShared(&m_lock);
    auto known = m_ofFolder.find(folder);
    const bool bKnown = known != m_ofFolder.end();
    nSector = bKnown ? known->second : 0;
    ::ReleaseSRWLockShared(&m_lock);
    if (bKnown)
        return true;
    const std::wstring exact = ToExactPath(folder.c_str());
    const DWORD dwAttributes = ::GetFileAttributesW(exact.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    const size_t nParent = folder.size() >= 2 ? folder.rfind(L'\\', folder.size() - 2) : std::wstring::npos;
    // A parent that knows no size (a namespace above a volume's root, as a shadow copy's) leaves the folder to ask.
    if ((dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || nParent == std::wstring::npos ||
        !FolderSector(folder.substr(0, nParent + 1), nSector) || nSector == 0)
        nSector = VolumeSector(exact);
    RememberFolder(folder, nSector);
    return true;
}

// The folders asked about are forgotten now and then, so a tree of millions of folders holds no map of them all;
// the jobs come in tree order, and the next folder asks again from its nearest remembered ancestor at worst.
void CSectorSizes::RememberFolder(const std::wstring& folder, UINT32 nSector)
{
    ::AcquireSRWLockExclusive(&m_lock);
    if (m_ofFolder.size() >= kFoldersRemembered)
        m_ofFolder.clear();
    m_ofFolder[folder] = nSector;
    ::ReleaseSRWLockExclusive(&m_lock);
}

// The sector size of the volume a folder lies on, asked once per volume.
UINT32 CSectorSizes::VolumeSector(const std::wstring& exact)
{
    std::wstring root(exact.size() + 2, L'\0');
    if (!::GetVolumePathNameW(exact.c_str(), &root[0], static_cast<DWORD>(root.size())))
        return 0;
    root.resize(std::wcslen(root.c_str()));
    ::AcquireSRWLockShared(&m_lock);
    auto volume = m_ofVolume.find(root);
    const bool bVolumeKnown = volume != m_ofVolume.end();
    UINT32 nSector = bVolumeKnown ? volume->second : 0;
    ::ReleaseSRWLockShared(&m_lock);
    if (!bVolumeKnown)
    {
        DWORD dwSectorsPerCluster, dwBytesPerSector, dwFree, dwTotal;
        if (::GetDiskFreeSpaceW(root.c_str(), &dwSectorsPerCluster, &dwBytesPerSector, &dwFree, &dwTotal))
            nSector = dwBytesPerSector;
        ::AcquireSRWLockExclusive(&m_lock);
        m_ofVolume[root] = nSector;
        ::ReleaseSRWLockExclusive(&m_lock);
    }
    return nSector;
}
