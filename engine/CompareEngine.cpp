// CCompareEngine: lifecycle, file opening in normal and fast mode, and the reader / comparer threads.
#include "CompareEngine.h"
#include "FileAccess.h"
#include "resource.h"
#include <cstring>

CEnginePlatform g_enginePlatform = {::CreateThread, ::PostMessageW};

namespace
{
using FileAccess::kNormalBlock;

bool IsSet(HANDLE h)
{
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

void CloseAndClear(HANDLE& h)
{
    if (IsSet(h))
        ::CloseHandle(h);
    h = nullptr;
}

void JoinAndClear(HANDLE& hThread)
{
    if (hThread)
    {
        ::WaitForSingleObject(hThread, INFINITE);
        ::CloseHandle(hThread);
        hThread = nullptr;
    }
}

const UINT32 kProgressIntervalMs = 16;  // about 60 refreshes a second

HANDLE OpenForCompare(LPCWSTR pszPath, DWORD dwFlags)
{
    // Share mode 0: nobody may write, rename or delete the file while it is compared.
    return FileAccess::OpenDiskFile(pszPath, 0, dwFlags);
}
}

CCompareEngine::CCompareEngine()
{
    m_hNotifyWnd = nullptr;
    m_nSlotCount = 16;
    for (int s = 0; s < 2; ++s)
        m_pBytesRead[s] = new UINT32[m_nSlotCount]();
    m_pSlotMask = new UINT32[m_nSlotCount]();
    m_hStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hSlotReady = new HANDLE[m_nSlotCount];
    for (UINT32 i = 0; i < m_nSlotCount; ++i)
        m_hSlotReady[i] = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int s = 0; s < 2; ++s)
    {
        m_hSlotFree[s] = new HANDLE[m_nSlotCount];
        for (UINT32 i = 0; i < m_nSlotCount; ++i)
            m_hSlotFree[s][i] = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    }
    ::InitializeCriticalSection(&m_lock);
    m_hOwnerStopping = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    m_bContentDiffers = false;
    m_nBlockSize = 0;
    m_nBufferSize = 0;
    m_hComparerThread = nullptr;
    for (int s = 0; s < 2; ++s)
    {
        m_bReadError[s] = false;
        m_hFile[s] = nullptr;
        m_pBuffer[s] = nullptr;
        m_hReaderThread[s] = nullptr;
        m_nFilledSlots[s] = 0;
        m_nBytesRead[s] = 0;
    }
    m_nFileSize = 0;
    m_nBytesCompared = 0;
    m_bNormalMode = true;
    m_bStopped = false;
    m_lProgressQueued = 0;
    m_nLastProgressPost = 0;
    LARGE_INTEGER freq;
    ::QueryPerformanceFrequency(&freq);
    m_nProgressGap = freq.QuadPart * kProgressIntervalMs / 1000;
    m_nFirstDifference = 0;
}

CCompareEngine::~CCompareEngine()
{
    Stop();
    for (int s = 0; s < 2; ++s)
        delete[] m_pBytesRead[s];
    delete[] m_pSlotMask;
    CloseAndClear(m_hStop);
    for (UINT32 i = 0; i < m_nSlotCount; ++i)
        CloseAndClear(m_hSlotReady[i]);
    delete[] m_hSlotReady;
    for (UINT32 i = 0; i < m_nSlotCount; ++i)
    {
        CloseAndClear(m_hSlotFree[0][i]);
        CloseAndClear(m_hSlotFree[1][i]);
    }
    delete[] m_hSlotFree[0];
    delete[] m_hSlotFree[1];
    ::DeleteCriticalSection(&m_lock);
    CloseAndClear(m_hOwnerStopping);
}

int CCompareEngine::Start(LPCWSTR pszPath1, LPCWSTR pszPath2, bool bFastMode)
{
    Stop();
    m_bStopped = false;
    m_bContentDiffers = false;
    m_bReadError[0] = m_bReadError[1] = false;
    m_bNormalMode = false;

    if (!(bFastMode && OpenFast(pszPath1, pszPath2)))
    {
        if (!OpenNormal(pszPath1, pszPath2))
            return IDS_CANNOT_OPEN;
        m_bNormalMode = true;
    }

    DWORD dwHigh1 = 0, dwHigh2 = 0;
    const DWORD dwLow1 = ::GetFileSize(m_hFile[0], &dwHigh1);
    const DWORD dwLow2 = ::GetFileSize(m_hFile[1], &dwHigh2);
    m_nFileSize = (static_cast<UINT64>(dwHigh1) << 32) | dwLow1;
    if (m_nFileSize != ((static_cast<UINT64>(dwHigh2) << 32) | dwLow2))
    {
        CloseFiles();
        return IDS_SIZE_DIFFERS;
    }

    // Committed virtual memory is page-aligned, which unbuffered reads need.
    for (int s = 0; s < 2; ++s)
    {
        m_pBuffer[s] = static_cast<BYTE*>(::VirtualAlloc(nullptr, m_nBufferSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!m_pBuffer[s])
        {
            FreeBuffers();
            CloseFiles();
            return IDS_NO_MEMORY;
        }
    }

    // Every engine thread has been joined by the Stop above, so nothing here needs the lock.
    ::ResetEvent(m_hStop);
    ::ResetEvent(m_hOwnerStopping);
    for (UINT32 i = 0; i < m_nSlotCount; ++i)
        ::ResetEvent(m_hSlotReady[i]);
    for (UINT32 i = 0; i < m_nSlotCount; ++i)
    {
        ::SetEvent(m_hSlotFree[0][i]);
        ::SetEvent(m_hSlotFree[1][i]);
    }
    for (UINT32 i = 0; i < m_nSlotCount; ++i)
        m_pSlotMask[i] = 0;
    m_nBytesCompared = 0;
    m_nFirstDifference = 0;
    // A notice of the last run may still be queued; this run's first one must not wait for it to be taken.
    m_lProgressQueued = 0;
    m_nLastProgressPost = 0;
    for (int s = 0; s < 2; ++s)
    {
        for (UINT32 i = 0; i < m_nSlotCount; ++i)
            m_pBytesRead[s][i] = 0;
        m_nFilledSlots[s] = 0;
        m_nBytesRead[s] = 0;
    }

    m_hComparerThread = g_enginePlatform.pfnCreateThread(nullptr, 0, ComparerProc, this, 0, nullptr);
    m_hReaderThread[0] = g_enginePlatform.pfnCreateThread(nullptr, 0, Reader1Proc, this, 0, nullptr);
    m_hReaderThread[1] = g_enginePlatform.pfnCreateThread(nullptr, 0, Reader2Proc, this, 0, nullptr);
    if (m_hComparerThread && m_hReaderThread[0] && m_hReaderThread[1])
        return IDS_STARTED;
    Stop();
    return IDS_THREAD_FAILED;
}

bool CCompareEngine::OpenNormal(LPCWSTR pszPath1, LPCWSTR pszPath2)
{
    CloseFiles();
    m_nBlockSize = kNormalBlock;
    m_nBufferSize = m_nSlotCount * kNormalBlock;
    return OpenPair(pszPath1, pszPath2, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL);
}

bool CCompareEngine::OpenPair(LPCWSTR pszPath1, LPCWSTR pszPath2, DWORD dwFlags)
{
    m_hFile[0] = OpenForCompare(pszPath1, dwFlags);
    if (m_hFile[0] == INVALID_HANDLE_VALUE)
    {
        CloseFiles();
        return false;
    }
    m_hFile[1] = OpenForCompare(pszPath2, dwFlags);
    if (m_hFile[1] == INVALID_HANDLE_VALUE)
    {
        CloseFiles();
        return false;
    }
    return true;
}

bool CCompareEngine::OpenFast(LPCWSTR pszPath1, LPCWSTR pszPath2)
{
    CloseFiles();
    DWORD dwSector[2];
    LPCWSTR apszPath[2] = {pszPath1, pszPath2};
    for (int s = 0; s < 2; ++s)
    {
        // Only a drive root names a volume whose sector size we can ask; anything else (a UNC path) reads buffered.
        const wchar_t* p = apszPath[s];
        const bool bDriveRoot = ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) && p[1] == L':' && p[2] == L'\\';
        if (!bDriveRoot)
            return false;
        const wchar_t szRoot[4] = {p[0], p[1], p[2], L'\0'};
        DWORD dwSectorsPerCluster, dwFreeClusters, dwTotalClusters;
        if (!::GetDiskFreeSpaceW(szRoot, &dwSectorsPerCluster, &dwSector[s], &dwFreeClusters, &dwTotalClusters))
            return false;
    }
    m_nBlockSize = FitBlockSize(dwSector[0], dwSector[1]);
    if (m_nBlockSize == 0)
        return false;
    m_nBufferSize = m_nSlotCount * m_nBlockSize;

    return OpenPair(pszPath1, pszPath2, FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL);
}

UINT32 CCompareEngine::LeastCommonMultiple(UINT32 a, UINT32 b)
{
    return FileAccess::LeastCommonMultiple(a, b);
}

UINT32 CCompareEngine::FitBlockSize(UINT32 nSector1, UINT32 nSector2)
{
    return FileAccess::FitBlockSize(nSector1, nSector2);
}

void CCompareEngine::Stop()
{
    ::SetEvent(m_hOwnerStopping);
    ::SetEvent(m_hStop);
    JoinAndClear(m_hComparerThread);
    JoinAndClear(m_hReaderThread[0]);
    JoinAndClear(m_hReaderThread[1]);
    CloseFiles();
    FreeBuffers();
    m_bStopped = true;
}

bool CCompareEngine::WaitFinished()
{
    if (::WaitForSingleObject(m_hStop, 10000) == WAIT_TIMEOUT)
        return false;
    JoinAndClear(m_hComparerThread);
    JoinAndClear(m_hReaderThread[0]);
    JoinAndClear(m_hReaderThread[1]);
    CloseFiles();
    FreeBuffers();
    return true;
}

void CCompareEngine::GetStatus(CCompareStatus& status)
{
    // Taken before the copy: a counter that moves after it is shown by the next notice.
    ::InterlockedExchange(&m_lProgressQueued, 0);
    ::EnterCriticalSection(&m_lock);
    status.nFileSize = m_nFileSize;
    status.nBytesRead1 = m_nBytesRead[0];
    status.nBytesRead2 = m_nBytesRead[1];
    status.nBytesCompared = m_nBytesCompared;
    status.nSlotCount = m_nSlotCount;
    status.nFilledSlots1 = m_nFilledSlots[0];
    status.nFilledSlots2 = m_nFilledSlots[1];
    status.bNormalMode = m_bNormalMode;
    ::LeaveCriticalSection(&m_lock);
}

int CCompareEngine::GetErrorCode() const
{
    if (m_bReadError[0] || m_bReadError[1])
        return IDS_READ_FAILED;
    if (m_bContentDiffers)
        return IDS_CONTENT_DIFFERS;
    return IDS_NO_ERROR;
}

void CCompareEngine::CloseFiles()
{
    CloseAndClear(m_hFile[0]);
    CloseAndClear(m_hFile[1]);
}

void CCompareEngine::FreeBuffers()
{
    for (int s = 0; s < 2; ++s)
    {
        if (m_pBuffer[s])
            ::VirtualFree(m_pBuffer[s], 0, MEM_RELEASE);
        m_pBuffer[s] = nullptr;
    }
}

DWORD WINAPI CCompareEngine::ComparerProc(LPVOID pParam)
{
    static_cast<CCompareEngine*>(pParam)->ComparerMain();
    return 0;
}

DWORD WINAPI CCompareEngine::Reader1Proc(LPVOID pParam)
{
    static_cast<CCompareEngine*>(pParam)->ReaderMain(0);
    return 0;
}

DWORD WINAPI CCompareEngine::Reader2Proc(LPVOID pParam)
{
    static_cast<CCompareEngine*>(pParam)->ReaderMain(1);
    return 0;
}

void CCompareEngine::ReaderMain(int s)
{
    m_bReadError[s] = false;
    // Unbuffered reads must start at sector multiples. After a short block the file position is no longer one,
    // and Windows would fail the next read instead of reporting the end; that short block was the end anyway.
    const bool bUnbuffered = !m_bNormalMode;
    bool bAtEnd = false;
    const UINT32 nMask = s == 0 ? 1u : 2u;
    UINT32 a = 0;
    for (;;)
    {
        HANDLE ahWait[2] = {m_hStop, m_hSlotFree[s][a]};
        if (::WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        ::ResetEvent(m_hSlotFree[s][a]);

        DWORD dwRead = 0;
        if (!bAtEnd && !::ReadFile(m_hFile[s], m_pBuffer[s] + static_cast<size_t>(a) * m_nBlockSize, m_nBlockSize, &dwRead, nullptr))
        {
            m_bReadError[s] = true;
            ::SetEvent(m_hStop);
            break;
        }
        m_pBytesRead[s][a] = dwRead;
        if (bUnbuffered && dwRead < m_nBlockSize)
            bAtEnd = true;

        ::EnterCriticalSection(&m_lock);
        ++m_nFilledSlots[s];
        m_nBytesRead[s] += dwRead;
        m_pSlotMask[a] |= nMask;
        if (m_pSlotMask[a] == 3)
            ::SetEvent(m_hSlotReady[a]);
        ::LeaveCriticalSection(&m_lock);

        PostProgress();
        if (dwRead == 0)
            break;
        a = (a + 1) % m_nSlotCount;
    }
    ::WaitForSingleObject(m_hStop, INFINITE);
}

void CCompareEngine::ComparerMain()
{
    int nCode;
    UINT32 a = 0;
    for (;;)
    {
        HANDLE ahWait[2] = {m_hStop, m_hSlotReady[a]};
        if (::WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        {
            nCode = IDS_INTERRUPTED;
            break;
        }
        const UINT32 c1 = m_pBytesRead[0][a];
        const UINT32 c2 = m_pBytesRead[1][a];
        if (c1 != c2)
        {
            RecordDifference(a, c1, c2);
            m_bContentDiffers = true;
            ::SetEvent(m_hStop);
            nCode = IDS_LENGTH_DIFFERS;
            break;
        }
        if (c1 == 0)
        {
            // Both ended together, but before the size Start took: both files shrank while read, or their
            // size was never their content. Fewer bytes than the size were compared; that is not "same".
            if (m_nBytesCompared < m_nFileSize)
            {
                m_nFirstDifference = m_nBytesCompared;
                m_bContentDiffers = true;
                ::SetEvent(m_hStop);
                nCode = IDS_LENGTH_DIFFERS;
                break;
            }
            ::SetEvent(m_hStop);
            nCode = IDS_SAME;
            break;
        }
        const size_t nOffset = static_cast<size_t>(a) * m_nBlockSize;
        if (std::memcmp(m_pBuffer[0] + nOffset, m_pBuffer[1] + nOffset, c1) != 0)
        {
            RecordDifference(a, c1, c2);
            m_bContentDiffers = true;
            ::SetEvent(m_hStop);
            nCode = IDS_CONTENT_DIFFERS;
            break;
        }

        ::EnterCriticalSection(&m_lock);
        m_pSlotMask[a] = 0;
        m_nBytesCompared += c1;
        --m_nFilledSlots[0];
        --m_nFilledSlots[1];
        ::LeaveCriticalSection(&m_lock);
        PostProgress();

        // Reset before freeing: a reader can set the slot ready again only after refilling it.
        ::ResetEvent(m_hSlotReady[a]);
        ::SetEvent(m_hSlotFree[0][a]);
        ::SetEvent(m_hSlotFree[1][a]);
        a = (a + 1) % m_nSlotCount;
    }
    ::WaitForSingleObject(m_hStop, INFINITE);
    if (m_hNotifyWnd)
        PostCompletion(nCode);
}

void CCompareEngine::RecordDifference(UINT32 nSlot, UINT32 c1, UINT32 c2)
{
    // The comparer still holds the slot, so finding the byte costs one more pass over part of one slot.
    const size_t nOffset = static_cast<size_t>(nSlot) * m_nBlockSize;
    const UINT32 n = c1 < c2 ? c1 : c2;
    m_nFirstDifference = m_nBytesCompared + FileAccess::FirstMismatch(m_pBuffer[0] + nOffset, m_pBuffer[1] + nOffset, n);
}

void CCompareEngine::PostProgress()
{
    // A skipped progress notice costs nothing: it carries no data and the next one shows the current counters.
    if (!m_hNotifyWnd)
        return;
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    if (now.QuadPart - ::InterlockedCompareExchange64(&m_nLastProgressPost, 0, 0) < m_nProgressGap)
        return;
    if (::InterlockedCompareExchange(&m_lProgressQueued, 1, 0) != 0)
        return;
    ::InterlockedExchange64(&m_nLastProgressPost, now.QuadPart);
    if (!g_enginePlatform.pfnPostMessage(m_hNotifyWnd, WM_COMPARE_NOTIFY, 1, 0))
        ::InterlockedExchange(&m_lProgressQueued, 0);
}

void CCompareEngine::PostCompletion(int nCode)
{
    // A full queue (Windows caps each thread's posted messages) must not lose the completion, or the
    // window would wait for it for ever. Retry until it is queued, the window is gone, or the owner is
    // inside Stop: there it waits for this thread and cannot drain its queue, and has no use for the notice.
    while (!g_enginePlatform.pfnPostMessage(m_hNotifyWnd, WM_COMPARE_NOTIFY, 0, nCode))
    {
        if (!::IsWindow(m_hNotifyWnd))
            return;
        if (::WaitForSingleObject(m_hOwnerStopping, 10) == WAIT_OBJECT_0)
            return;
    }
}
