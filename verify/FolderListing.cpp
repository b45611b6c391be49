// CFolderListing: the walk over one folder or tree, and the merge of both sides by name.
#include "FolderListing.h"
#include "ExactPath.h"
#include "FileAccess.h"
#include "ReparseData.h"
#include <winioctl.h>
#include <algorithm>
#include <cwchar>

namespace
{
// Online-only files: opening them, or reading them, makes the cloud provider download them.
const DWORD kOnlineOnly = FILE_ATTRIBUTE_OFFLINE | 0x00040000 /* RECALL_ON_OPEN */ | 0x00400000 /* RECALL_ON_DATA_ACCESS */;

bool IsDots(const wchar_t* pszName)
{
    return pszName[0] == L'.' && (pszName[1] == L'\0' || (pszName[1] == L'.' && pszName[2] == L'\0'));
}

// A name holding a backslash ("d\f") reads like a path ("f" in folder "d"), so one side can list the same name
// twice; such names pair only with each other, after the real path of that name.
bool IsBad(const CListedPair& entry)
{
    return entry.kind[0] == EListed::kBadName || entry.kind[1] == EListed::kBadName;
}

int Order(const CListedPair& a, const CListedPair& b)
{
    const int c = a.strName.Compare(b.strName);
    return c != 0 ? c : static_cast<int>(IsBad(a)) - static_cast<int>(IsBad(b));
}

bool NameLess(const CListedPair& a, const CListedPair& b)
{
    return Order(a, b) < 0;
}

// Junctions and volume mount points carry the same tag; only the target tells them apart: a mount point names a
// volume ("\??\Volume{...}\"), a junction a folder. A folder whose reparse data cannot be read is taken for a
// link, so at worst it is reported and not walked: Wine reports a Unix symlink to a folder as a reparse point
// without a tag and cannot read its data; it has neither junctions nor mount points.
bool IsLinkToFolder(const CString& strPath, DWORD dwTag)
{
    if (dwTag == IO_REPARSE_TAG_SYMLINK)
        return true;
    if (dwTag != IO_REPARSE_TAG_MOUNT_POINT && dwTag != 0)
        return false;  // cloud-synced folders, deduplicated and other reparse points hold their own entries
    HANDLE h = ::CreateFileW(ToExactPath(strPath).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return true;
    union
    {
        DWORD dwTag;
        BYTE bytes[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    } buffer;
    DWORD nGot = 0;
    const bool bRead = ::DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, &buffer, sizeof buffer, &nGot, nullptr) != FALSE;
    ::CloseHandle(h);
    if (!bRead || nGot < sizeof buffer.dwTag || buffer.dwTag == IO_REPARSE_TAG_SYMLINK)
        return true;
    if (buffer.dwTag != IO_REPARSE_TAG_MOUNT_POINT)
        return false;
    // Data that does not hold together is taken for a link's: reported, never walked.
    std::wstring target;
    if (!ReparseData::MountPointTarget(buffer.bytes, nGot, target))
        return true;
    return target.compare(0, 11, L"\\??\\Volume{") != 0;
}

// A folder's identity: two paths that reach one folder (a server-side link on a NAS, shown as a plain folder) have
// the same volume serial number and file ID. The index alone is asked for each folder; the whole identity only
// where an index comes round again on the way down, which is rare (and under Wine over a millisecond a folder).
struct CFolderId
{
    UINT64 nIndex = 0;
    bool bKnown = false;
    size_t nParent = 0;  // index of the folder it was entered from, or npos
    CString strPath;
};

HANDLE OpenFolder(const CString& strPath, DWORD dwAccess)
{
    return ::CreateFileW(ToExactPath(strPath).c_str(), dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool GetFolderIdentity(const CString& strPath, FileAccess::CFileIdentity& identity)
{
    HANDLE h = OpenFolder(strPath, 0);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool bOk = FileAccess::GetFileIdentity(h, identity);
    ::CloseHandle(h);
    return bOk;
}

// True when both paths name one folder: same volume and file ID.
bool SameFolder(const CString& strPath1, const CString& strPath2)
{
    FileAccess::CFileIdentity a, b;
    return GetFolderIdentity(strPath1, a) && GetFolderIdentity(strPath2, b) && a == b;
}

struct CPendingFolder
{
    CString strRelative;  // empty or ending with a backslash
    size_t nParent;       // index into the entered folders, or npos for the folder given
};

CListedPair Entry(const CString& strName, EListed kind, int s)
{
    CListedPair entry;
    entry.strName = strName;
    entry.kind[s] = kind;
    return entry;
}
// One entry as the listing gives it. For a reparse point the tag stands where extended attributes' size would.
struct CListedFields
{
    LPCWSTR pszName;
    DWORD dwAttributes;
    UINT64 nSize;
    DWORD dwReparseTag;
    UINT64 nWriteTime;
    UINT64 nFileId;
};

const DWORD kListingBuffer = 64 * 1024;

void ListEntry(const CString& strFolder, const CString& strRelative, const CListedFields& fields,
               const CListingOptions& options, std::vector<CListedPair>& files, int s, UINT64& nHiddenSystem)
{
    const DWORD dwAttributes = options.pfnAttributes ? options.pfnAttributes(fields.pszName, fields.dwAttributes)
                                                     : fields.dwAttributes;
    const DWORD dwProtected = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if ((dwAttributes & dwProtected) == dwProtected && !options.bAll)
    {
        ++nHiddenSystem;
        return;
    }
    const bool bOwnName = IsNameOfOwn(fields.pszName);
    const CString strName = strRelative + CString(fields.pszName);
    if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)
    {
        if (!options.bRecursive)
            return;
        const CString strFolderName = strName + CString(L"\\");
        if (!bOwnName)
            files.push_back(Entry(strFolderName, EListed::kBadName, s));
        else if ((dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkToFolder(strFolder + strFolderName, fields.dwReparseTag))
            files.push_back(Entry(strFolderName, EListed::kLink, s));
        else
            files.push_back(Entry(strFolderName, EListed::kFolder, s));
        return;
    }
    CListedPair file = Entry(strName, EListed::kFile, s);
    file.nSize[s] = fields.nSize;
    file.nWriteTime[s] = fields.nWriteTime;
    file.nFileId[s] = fields.nFileId;
    if (!bOwnName)
        file.kind[s] = EListed::kBadName;
    else if ((dwAttributes & kOnlineOnly) && !options.bRecall)
        file.kind[s] = EListed::kOffline;
    else
        file.strPath[s] = strFolder + strName;
    files.push_back(file);
}
}

CFolderListing::Result CFolderListing::ListFolder(const CString& strFolder, const CString& strRelative,
                                                  const CListingOptions& options, int nSide, std::vector<CListedPair>& entries,
                                                  UINT64& nIndex, bool& bIndexed, UINT64& nHiddenSystem, UINT64& nEntries)
{
    const int s = nSide == 2 ? 1 : 0;
    const CString strDir = strFolder + strRelative;
    bIndexed = false;
    // One handle per folder, for its identity and its entries: on a share every open is a round trip.
    HANDLE hDir = OpenFolder(strDir, FILE_LIST_DIRECTORY | SYNCHRONIZE);
    if (hDir == INVALID_HANDLE_VALUE)
        return kFailed;
    bIndexed = FileAccess::GetFileIndex(hDir, nIndex);
    // Names, sizes, attributes and reparse tags come in batches, many entries to a request.
    std::vector<ULONGLONG> buffer(kListingBuffer / sizeof(ULONGLONG));
    bool bFirst = true;
    DWORD dwError = ERROR_SUCCESS;
    while (dwError == ERROR_SUCCESS)
    {
        if (options.pfnGoOn && !options.pfnGoOn(options.pContext, nEntries))
        {
            ::CloseHandle(hDir);
            return kStopped;
        }
        if (!::GetFileInformationByHandleEx(hDir, FileIdBothDirectoryInfo, buffer.data(), kListingBuffer))
        {
            dwError = ::GetLastError();
            // An empty folder without dot entries (a drive root) says so at the first request.
            if (bFirst && dwError == ERROR_FILE_NOT_FOUND)
                dwError = ERROR_NO_MORE_FILES;
            break;
        }
        bFirst = false;
        const BYTE* pEntry = reinterpret_cast<const BYTE*>(buffer.data());
        for (;;)
        {
            const auto* pInfo = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(pEntry);
            if (options.pfnGoOn && !options.pfnGoOn(options.pContext, ++nEntries))
            {
                ::CloseHandle(hDir);
                return kStopped;
            }
            const std::wstring name(pInfo->FileName, pInfo->FileNameLength / sizeof(WCHAR));
            if (!IsDots(name.c_str()))
            {
                CListedFields fields{name.c_str(), pInfo->FileAttributes, static_cast<UINT64>(pInfo->EndOfFile.QuadPart),
                                     pInfo->EaSize, static_cast<UINT64>(pInfo->LastWriteTime.QuadPart),
                                     static_cast<UINT64>(pInfo->FileId.QuadPart)};
                ListEntry(strFolder, strRelative, fields, options, entries, s, nHiddenSystem);
            }
            if (pInfo->NextEntryOffset == 0)
                break;
            pEntry += pInfo->NextEntryOffset;
        }
    }
    ::CloseHandle(hDir);
    // A listing that ends on anything but "no more files" stopped half-way: the folder was not listed whole, and
    // what it did list is dropped with it.
    if (dwError != ERROR_NO_MORE_FILES)
    {
        entries.clear();
        return kFailed;
    }
    return kListed;
}

bool CFolderListing::IsLoop(const CString& strPath, UINT64 nIndex, const CString& strAncestor, UINT64 nAncestorIndex)
{
    return nIndex == nAncestorIndex && SameFolder(strAncestor, strPath);
}

CFolderListing::Result CFolderListing::ListFiles(const CString& strFolder, const CListingOptions& options,
                                                 std::vector<CListedPair>& files, int nSide, CString& strFailed,
                                                 UINT64& nHiddenSystem)
{
    const size_t npos = static_cast<size_t>(-1);
    const int s = nSide == 2 ? 1 : 0;
    UINT64 nEntries = 0;
    std::vector<CFolderId> entered;
    std::vector<CPendingFolder> pending(1, CPendingFolder{CString(), npos});
    while (!pending.empty())
    {
        const CPendingFolder folder = pending.back();
        pending.pop_back();
        const bool bGiven = folder.strRelative.IsEmpty();
        std::vector<CListedPair> entries;
        CFolderId id;
        id.nParent = folder.nParent;
        id.strPath = strFolder + folder.strRelative;
        const Result result = ListFolder(strFolder, folder.strRelative, options, nSide, entries, id.nIndex, id.bKnown,
                                         nHiddenSystem, nEntries);
        if (result == kStopped)
            return kStopped;
        // Only the way down counts: the same folder reached on two separate branches is no loop, and is walked twice.
        bool bLoop = false;
        for (size_t i = folder.nParent; id.bKnown && i != npos && !bLoop; i = entered[i].nParent)
            bLoop = entered[i].bKnown && IsLoop(id.strPath, id.nIndex, entered[i].strPath, entered[i].nIndex);
        if (bLoop)
        {
            files.push_back(Entry(folder.strRelative, EListed::kLoop, s));
            continue;
        }
        if (bGiven && result != kListed)
        {
            strFailed = id.strPath;
            return kFailed;
        }
        const size_t nSelf = entered.size();
        entered.push_back(id);
        for (CListedPair& entry : entries)
            if (entry.kind[s] == EListed::kFolder)
                pending.push_back(CPendingFolder{entry.strName, nSelf});
            else
                files.push_back(std::move(entry));
        if (!bGiven)
            files.push_back(Entry(folder.strRelative, result == kListed ? EListed::kFolder : EListed::kCannotList, s));
    }
    return kListed;
}

// In a folder the names are in order with a folder's name taken without its backslash (so "a\" comes before
// "a-b", as its name "a" does), a file before a folder of the same name.
int CFolderListing::FolderOrder(const CListedPair& a, const CListedPair& b)
{
    const int nA = a.strName.GetLength(), nB = b.strName.GetLength();
    const bool bFolderA = nA > 0 && a.strName.GetAt(nA - 1) == L'\\';
    const bool bFolderB = nB > 0 && b.strName.GetAt(nB - 1) == L'\\';
    const int nLenA = nA - (bFolderA ? 1 : 0), nLenB = nB - (bFolderB ? 1 : 0);
    const LPCWSTR pA = a.strName, pB = b.strName;
    for (int i = 0; i < nLenA && i < nLenB; ++i)
        if (pA[i] != pB[i])
            return pA[i] < pB[i] ? -1 : 1;
    if (nLenA != nLenB)
        return nLenA < nLenB ? -1 : 1;
    if (bFolderA != bFolderB)
        return bFolderA ? 1 : -1;
    return static_cast<int>(IsBad(a)) - static_cast<int>(IsBad(b));
}

std::vector<CListedPair> CFolderListing::MergeFolder(std::vector<CListedPair> side1, std::vector<CListedPair> side2)
{
    auto less = [](const CListedPair& a, const CListedPair& b) { return FolderOrder(a, b) < 0; };
    std::sort(side1.begin(), side1.end(), less);
    std::sort(side2.begin(), side2.end(), less);
    std::vector<CListedPair> pairs;
    pairs.reserve(side1.size() + side2.size());
    size_t i = 0, j = 0;
    while (i < side1.size() || j < side2.size())
    {
        const int c = i == side1.size() ? 1 : j == side2.size() ? -1 : FolderOrder(side1[i], side2[j]);
        if (c < 0)
            pairs.push_back(std::move(side1[i++]));
        else if (c > 0)
            pairs.push_back(std::move(side2[j++]));
        else
        {
            CListedPair pair = std::move(side1[i++]);
            pair.TakeSide(1, side2[j++]);
            pairs.push_back(std::move(pair));
        }
    }
    return pairs;
}

std::vector<CListedPair> CFolderListing::Merge(std::vector<CListedPair> side1, std::vector<CListedPair> side2)
{
    std::sort(side1.begin(), side1.end(), NameLess);
    std::sort(side2.begin(), side2.end(), NameLess);
    std::vector<CListedPair> pairs;
    pairs.reserve(side1.size() + side2.size());
    // Nothing under a folder that one side could not list gets a row: what that side holds there is unknown, so
    // neither the other side's entries there nor what a listing that broke off had found are on one side only.
    // The folder's own row stands for them. In name order a folder's entries follow it at once.
    CString strUnlisted;
    auto add = [&](const CListedPair& pair) {
        if (!strUnlisted.IsEmpty() && wcsncmp(pair.strName, strUnlisted, static_cast<size_t>(strUnlisted.GetLength())) == 0)
            return;
        if (pair.kind[0] == EListed::kCannotList || pair.kind[1] == EListed::kCannotList)
            strUnlisted = pair.strName;
        pairs.push_back(pair);
    };
    size_t i = 0, j = 0;
    while (i < side1.size() || j < side2.size())
    {
        const int c = i == side1.size() ? 1 : j == side2.size() ? -1 : Order(side1[i], side2[j]);
        if (c < 0)
            add(side1[i++]);
        else if (c > 0)
            add(side2[j++]);
        else
        {
            CListedPair pair = side1[i++];
            pair.TakeSide(1, side2[j++]);
            add(pair);
        }
    }
    return pairs;
}
