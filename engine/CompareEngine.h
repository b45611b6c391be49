// CCompareEngine: compares one pair of files with two reader threads and one comparer over two rings of slots.
#pragma once
#include <windows.h>

// Posted by the engine's threads to m_hNotifyWnd. wParam 1: progress (lParam 0); wParam 0: completion, lParam the code.
#define WM_COMPARE_NOTIFY (WM_USER + 1)

struct CCompareStatus
{
    UINT64 nFileSize;
    UINT64 nBytesRead1;
    UINT64 nBytesRead2;
    UINT64 nBytesCompared;
    UINT32 nSlotCount;
    UINT32 nFilledSlots1;
    UINT32 nFilledSlots2;
    bool bNormalMode;
};

// The two platform calls whose failure cannot be provoked from outside: creating a thread and posting to a full
// queue. Tests replace them; the program never does.
struct CEnginePlatform
{
    HANDLE(WINAPI* pfnCreateThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
    BOOL(WINAPI* pfnPostMessage)(HWND, UINT, WPARAM, LPARAM);
};
extern CEnginePlatform g_enginePlatform;

class CCompareEngine
{
public:
    CCompareEngine();
    ~CCompareEngine();
    CCompareEngine(const CCompareEngine&) = delete;
    CCompareEngine& operator=(const CCompareEngine&) = delete;

    // Returns IDS_CANNOT_OPEN, IDS_SIZE_DIFFERS, IDS_NO_MEMORY, IDS_THREAD_FAILED or IDS_STARTED.
    int Start(LPCWSTR pszPath1, LPCWSTR pszPath2, bool bFastMode);
    bool OpenNormal(LPCWSTR pszPath1, LPCWSTR pszPath2);
    bool OpenFast(LPCWSTR pszPath1, LPCWSTR pszPath2);
    static UINT32 LeastCommonMultiple(UINT32 a, UINT32 b);
    // The fast-mode slot size for two sector sizes: the largest common multiple up to 1 MiB, or 0 to refuse.
    static UINT32 FitBlockSize(UINT32 nSector1, UINT32 nSector2);
    void Stop();
    bool WaitFinished();
    void GetStatus(CCompareStatus& status);
    // IDS_READ_FAILED, IDS_CONTENT_DIFFERS or IDS_NO_ERROR.
    int GetErrorCode() const;
    bool IsStopped() const { return m_bStopped; }
    // After a run that ended on a difference (completion 13 or 14, or a short file): the offset of the first byte
    // that differs, or where one file ended before the other. Read after the threads are joined.
    UINT64 GetFirstDifference() const { return m_nFirstDifference; }

    bool m_bContentDiffers;
    bool m_bReadError[2];
    HWND m_hNotifyWnd;
    HANDLE m_hFile[2];
    UINT32 m_nBlockSize;
    UINT32 m_nSlotCount;
    UINT32 m_nBufferSize;
    BYTE* m_pBuffer[2];
    UINT32 m_nFilledSlots[2];
    HANDLE* m_hSlotReady;
    HANDLE* m_hSlotFree[2];
    HANDLE m_hStop;
    CRITICAL_SECTION m_lock;
    UINT32* m_pBytesRead[2];
    UINT32* m_pSlotMask;
    HANDLE m_hComparerThread;
    HANDLE m_hReaderThread[2];
    UINT64 m_nFileSize;
    UINT64 m_nBytesRead[2];
    UINT64 m_nBytesCompared;
    bool m_bNormalMode;
    bool m_bStopped;

private:
    static DWORD WINAPI ComparerProc(LPVOID pParam);
    static DWORD WINAPI Reader1Proc(LPVOID pParam);
    static DWORD WINAPI Reader2Proc(LPVOID pParam);
    void ComparerMain();
    void ReaderMain(int s);
    void PostProgress();
    void PostCompletion(int nCode);
    void CloseFiles();
    void FreeBuffers();
    bool OpenPair(LPCWSTR pszPath1, LPCWSTR pszPath2, DWORD dwFlags);
    void RecordDifference(UINT32 nSlot, UINT32 c1, UINT32 c2);

    // Set while the owner is inside Stop: a completion that cannot be queued is then given up instead of retried,
    // because the owner, who would drain the queue, is waiting for the comparer.
    HANDLE m_hOwnerStopping;

    // At most one progress notice waits in the owner's queue, and they come at most every kProgressIntervalMs:
    // at GB/s one notice per slot would bury input and paint under thousands of messages a second.
    // 1 from the post until the owner's GetStatus takes the snapshot.
    volatile LONG m_lProgressQueued;
    // Performance-counter time of the last progress notice posted, and the least gap between two.
    volatile LONGLONG m_nLastProgressPost;
    LONGLONG m_nProgressGap;

    UINT64 m_nFirstDifference;
};
