// Drives the real tavik.exe from another process as a user would (real mouse clicks) and times the run; run by bench/dialog.
//   dialog_bench run TAVIK_EXE SRC1 SRC2 [TIMEOUT_S [STRIDE]]
//       click 比較, time until the 比較完了 box, then check the row count and the rows of the result list against
//       both folders: every row, or every compared pair and every STRIDE-th one-sided row
//   dialog_bench abort TAVIK_EXE SRC1 SRC2 [SAMPLE_MS]
//       click 比較, watch the file bar for SAMPLE_MS, click 中断, time until the idle state and the abort box
// SRC1 and SRC2 are folders the trees reach (T:\...). Prints key=value lines; exit code 0 when all checks held.
#include <windows.h>
#include <commctrl.h>
#include "resource.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace
{
const wchar_t kCaption[] = L"Tavik Ver0.10β";
const wchar_t kBoxCaption[] = L"tavik";
const wchar_t kOnly1[] = L"ソース１にのみ存在";
const wchar_t kOnly2[] = L"ソース２にのみ存在";
const wchar_t kSame[] = L"同じ";
const wchar_t kSizeDiffers[] = L"ファイルサイズが違う";
const wchar_t kRunComplete[] = L"比較完了";

// Wine's console takes bytes as they come; Japanese texts go out as UTF-8.
std::string U8(const std::wstring& w)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(std::strlen(s.c_str()));
    return s;
}

double Now()
{
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

[[noreturn]] void Fail(const char* what)
{
    std::printf("error=%s\n", what);
    std::fflush(stdout);
    std::exit(1);
}

// Memory inside the program: tree and list messages carry pointers that the control dereferences in its own
// process, and Wine, like Windows, copies nothing for them.
class RemoteBuffer
{
public:
    RemoteBuffer(HANDLE hProcess, SIZE_T size) : m_hProcess(hProcess), m_size(size)
    {
        m_p = static_cast<BYTE*>(::VirtualAllocEx(hProcess, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!m_p)
            Fail("VirtualAllocEx");
    }
    ~RemoteBuffer() { ::VirtualFreeEx(m_hProcess, m_p, 0, MEM_RELEASE); }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    BYTE* At(SIZE_T offset) const { return m_p + offset; }
    void Write(SIZE_T offset, const void* data, SIZE_T n) const
    {
        if (!::WriteProcessMemory(m_hProcess, m_p + offset, data, n, nullptr))
            Fail("WriteProcessMemory");
    }
    void Read(SIZE_T offset, void* data, SIZE_T n) const
    {
        if (!::ReadProcessMemory(m_hProcess, m_p + offset, data, n, nullptr))
            Fail("ReadProcessMemory");
    }

private:
    HANDLE m_hProcess;
    SIZE_T m_size;
    BYTE* m_p;
};

const SIZE_T kTextOffset = 1024;
const int kTextChars = 1024;

std::wstring TreeItemText(HWND hTree, const RemoteBuffer& remote, HTREEITEM hItem)
{
    TVITEMW item{};
    item.mask = TVIF_TEXT;
    item.hItem = hItem;
    item.pszText = reinterpret_cast<LPWSTR>(remote.At(kTextOffset));
    item.cchTextMax = kTextChars;
    remote.Write(0, &item, sizeof item);
    const wchar_t empty = 0;
    remote.Write(kTextOffset, &empty, sizeof empty);
    if (!::SendMessageW(hTree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote.At(0))))
        return std::wstring();
    std::vector<wchar_t> text(kTextChars);
    remote.Read(kTextOffset, text.data(), text.size() * sizeof(wchar_t));
    text.back() = 0;
    return text.data();
}

std::wstring ListItemText(HWND hList, const RemoteBuffer& remote, int nRow, int nColumn)
{
    LVITEMW item{};
    item.iSubItem = nColumn;
    item.pszText = reinterpret_cast<LPWSTR>(remote.At(kTextOffset));
    item.cchTextMax = kTextChars;
    remote.Write(0, &item, sizeof item);
    const LRESULT n = ::SendMessageW(hList, LVM_GETITEMTEXTW, static_cast<WPARAM>(nRow), reinterpret_cast<LPARAM>(remote.At(0)));
    std::vector<wchar_t> text(static_cast<size_t>(std::clamp<LRESULT>(n, 0, kTextChars - 1)) + 1);
    if (n > 0)
        remote.Read(kTextOffset, text.data(), static_cast<SIZE_T>(n) * sizeof(wchar_t));
    text.back() = 0;
    return text.data();
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Selects a folder the way a user reaches it: expanding each level lists it, as the tree does on a click.
// TVM_EXPAND and TVM_SELECTITEM carry no pointers, so they work across processes without copies.
void SelectFolder(HWND hTree, const RemoteBuffer& remote, const std::wstring& path)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i)
        if (i == path.size() || path[i] == L'\\')
        {
            if (i > start)
                parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    if (parts.empty())
        Fail("empty folder path");
    parts[0] += L"\\";  // the roots read "T:\"
    HTREEITEM hItem = nullptr;
    for (size_t level = 0; level < parts.size(); ++level)
    {
        HTREEITEM hChild = reinterpret_cast<HTREEITEM>(::SendMessageW(
            hTree, TVM_GETNEXTITEM, level == 0 ? TVGN_ROOT : TVGN_CHILD, reinterpret_cast<LPARAM>(hItem)));
        while (hChild && !SameText(TreeItemText(hTree, remote, hChild), parts[level]))
            hChild = reinterpret_cast<HTREEITEM>(::SendMessageW(hTree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(hChild)));
        if (!hChild)
        {
            std::printf("missing=%s\n", U8(parts[level]).c_str());
            Fail("folder not in tree");
        }
        hItem = hChild;
        if (level + 1 < parts.size())
            ::SendMessageW(hTree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(hItem));
    }
    ::SendMessageW(hTree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(hItem));
    if (!::SendMessageW(hTree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(hItem)))
        Fail("TVM_SELECTITEM");
}

POINT Centre(HWND hControl)
{
    RECT r;
    ::GetWindowRect(hControl, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

INPUT MouseInput(POINT pt, DWORD dwFlags)
{
    const int cx = ::GetSystemMetrics(SM_CXSCREEN), cy = ::GetSystemMetrics(SM_CYSCREEN);
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = static_cast<LONG>((pt.x * 65536LL + cx / 2) / cx);
    in.mi.dy = static_cast<LONG>((pt.y * 65536LL + cy / 2) / cy);
    in.mi.dwFlags = dwFlags | MOUSEEVENTF_ABSOLUTE;
    return in;
}

// Moves the pointer over the control and waits until Wine reports it there. Moved in the same batch as the button
// going down, the pointer was now and then still reported at its old place when the button went up (the X server
// answers the warp later), and the button saw no click.
void PointAt(HWND hControl)
{
    const POINT pt = Centre(hControl);
    INPUT in = MouseInput(pt, MOUSEEVENTF_MOVE);
    ::SendInput(1, &in, sizeof in);
    for (int i = 0; i < 200; ++i)
    {
        POINT now;
        if (::GetCursorPos(&now) && now.x == pt.x && now.y == pt.y)
            break;
        ::Sleep(1);
    }
    ::Sleep(20);
}

// A real click: the button goes down and up at the control's centre, through the same input queue as a user's
// mouse. Returns the time the input was handed over.
double Click(HWND hControl)
{
    PointAt(hControl);
    const POINT pt = Centre(hControl);
    INPUT in[2] = {MouseInput(pt, MOUSEEVENTF_LEFTDOWN), MouseInput(pt, MOUSEEVENTF_LEFTUP)};
    const double t = Now();
    if (::SendInput(2, in, sizeof(INPUT)) != 2)
        Fail("SendInput");
    return t;
}

HWND FindProcessWindow(DWORD pid, const wchar_t* cls, const wchar_t* caption)
{
    for (HWND h = ::FindWindowExW(nullptr, nullptr, cls, caption); h; h = ::FindWindowExW(nullptr, h, cls, caption))
    {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(h, &owner);
        if (owner == pid && ::IsWindowVisible(h))
            return h;
    }
    return nullptr;
}

// Polls without touching the program's thread: window lookups and styles are answered by the Wine server.
template <class Cond>
bool WaitFor(Cond cond, double timeoutS, DWORD pollMs = 1)
{
    const double end = Now() + timeoutS;
    while (!cond())
    {
        if (Now() > end)
            return false;
        ::Sleep(pollMs);
    }
    return true;
}

std::wstring WindowText(HWND h)
{
    wchar_t text[1024] = {};
    DWORD_PTR n = 0;
    ::SendMessageTimeoutW(h, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &n);
    return text;
}

// The message box's text: its longest static.
std::wstring BoxText(HWND hBox)
{
    std::wstring best;
    for (HWND h = ::GetWindow(hBox, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT))
    {
        wchar_t cls[32] = {};
        ::GetClassNameW(h, cls, 32);
        if (SameText(cls, L"Static"))
        {
            const std::wstring t = WindowText(h);
            if (t.size() > best.size())
                best = t;
        }
    }
    return best;
}

struct Program
{
    PROCESS_INFORMATION pi{};
    HWND hDlg = nullptr;

    HWND Item(int id) const { return ::GetDlgItem(hDlg, id); }
    bool Idle() const { return ::IsWindowEnabled(Item(IDC_COMPARE)) != FALSE; }
    HWND Box() const { return FindProcessWindow(pi.dwProcessId, L"#32770", kBoxCaption); }
};

Program Launch(const std::wstring& exe)
{
    Program p;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!::CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &p.pi))
        Fail("CreateProcessW");
    if (!WaitFor([&] { return (p.hDlg = FindProcessWindow(p.pi.dwProcessId, L"#32770", kCaption)) != nullptr; }, 60, 10))
        Fail("no main dialog");
    if (!WaitFor([&] { return p.Idle(); }, 30, 10))
        Fail("dialog never idle");
    ::SetForegroundWindow(p.hDlg);
    return p;
}

// Answers a box with a real click on its OK button and waits for it to go.
void AnswerBox(HWND hBox)
{
    HWND hOk = ::GetDlgItem(hBox, IDOK);
    if (!hOk)
        Fail("box without OK");
    Click(hOk);
    if (!WaitFor([&] { return !::IsWindow(hBox) || !::IsWindowVisible(hBox); }, 10, 5))
    {
        // A click lost to a window on top must not leave the program hanging in its box.
        ::PostMessageW(hBox, WM_COMMAND, IDOK, 0);
        WaitFor([&] { return !::IsWindow(hBox); }, 10, 5);
    }
}

void Quit(Program& p)
{
    if (HWND hBox = p.Box())
        AnswerBox(hBox);
    WaitFor([&] { return p.Idle(); }, 10, 5);
    for (int attempt = 0; attempt < 3 && ::WaitForSingleObject(p.pi.hProcess, 0) != WAIT_OBJECT_0; ++attempt)
    {
        Click(p.Item(IDC_EXIT));
        ::WaitForSingleObject(p.pi.hProcess, 5000);
    }
    if (::WaitForSingleObject(p.pi.hProcess, 15000) != WAIT_OBJECT_0)
    {
        std::printf("note=program did not end on 終了; terminated\n");
        ::TerminateProcess(p.pi.hProcess, 1);
        ::WaitForSingleObject(p.pi.hProcess, 15000);
    }
    ::CloseHandle(p.pi.hProcess);
    ::CloseHandle(p.pi.hThread);
}

struct Expected
{
    std::wstring name, verdict;
};

UINT64 FileSize(const WIN32_FIND_DATAW& fd)
{
    return (static_cast<UINT64>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
}

// What every row must read after a complete run over bench data, whose pairs of equal size are equal.
std::vector<Expected> ExpectedRows(const std::wstring& src1, const std::wstring& src2)
{
    std::map<std::wstring, std::pair<INT64, INT64>> names;
    const std::wstring dirs[2] = {src1, src2};
    for (int side = 0; side < 2; ++side)
    {
        WIN32_FIND_DATAW fd;
        HANDLE h = ::FindFirstFileW((dirs[side] + L"\\*").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        do
        {
            if (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
                continue;
            auto& sizes = names.try_emplace(fd.cFileName, -1, -1).first->second;
            (side == 0 ? sizes.first : sizes.second) = static_cast<INT64>(FileSize(fd));
        } while (::FindNextFileW(h, &fd));
        ::FindClose(h);
    }
    std::vector<Expected> rows;
    rows.reserve(names.size());
    for (const auto& [name, sizes] : names)
    {
        const wchar_t* verdict = sizes.second < 0 ? kOnly1 : sizes.first < 0 ? kOnly2 : sizes.first == sizes.second ? kSame : kSizeDiffers;
        rows.push_back({name, verdict});
    }
    return rows;
}

// True when the program's thread answers a sent message at once: it is waiting for input, not working.
bool Responsive(const Program& p)
{
    DWORD_PTR r = 0;
    return ::SendMessageTimeoutW(p.hDlg, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 200, &r) != 0;
}

// Clicks 比較 and returns the click's time. Under Wine a click on a window that has just come up is now and then
// lost; a program still idle, without a box and answering at once after 2 s never saw it, so it is clicked again.
double ClickCompare(Program& p)
{
    for (int attempt = 1;; ++attempt)
    {
        const double t = Click(p.Item(IDC_COMPARE));
        if (WaitFor([&] { return !p.Idle() || p.Box() || !Responsive(p); }, 2) || attempt == 5)
        {
            std::printf("compare_clicks=%d\n", attempt);
            return t;
        }
    }
}

void Prepare(Program& p, const std::wstring& src1, const std::wstring& src2)
{
    RemoteBuffer remote(p.pi.hProcess, 64 * 1024);
    const double t0 = Now();
    SelectFolder(p.Item(IDC_TREE_SRC1), remote, src1);
    SelectFolder(p.Item(IDC_TREE_SRC2), remote, src2);
    std::printf("select_seconds=%.3f\n", Now() - t0);
}

int RunCommand(const std::wstring& exe, const std::wstring& src1, const std::wstring& src2, double timeoutS, int stride)
{
    const std::vector<Expected> expected = ExpectedRows(src1, src2);
    Program p = Launch(exe);
    Prepare(p, src1, src2);
    const double t0 = ClickCompare(p);
    HWND hBox = nullptr;
    const bool bDone = WaitFor([&] { return (hBox = p.Box()) != nullptr; }, timeoutS);
    const double t1 = Now();
    if (!bDone)
    {
        std::printf("seconds=>%.0f\nresult=timeout\n", timeoutS);
        std::fflush(stdout);
        ::TerminateProcess(p.pi.hProcess, 1);
        return 1;
    }
    const std::wstring text = BoxText(hBox);
    std::printf("seconds=%.3f\nbox=%s\n", t1 - t0, U8(text).c_str());
    std::fflush(stdout);

    // The box is modal but the program's thread still answers sent messages, so the list can be read now.
    RemoteBuffer remote(p.pi.hProcess, 64 * 1024);
    HWND hList = p.Item(IDC_RESULT_LIST);
    const int nRows = static_cast<int>(::SendMessageW(hList, LVM_GETITEMCOUNT, 0, 0));
    int nWrong = 0;
    const double tc = Now();
    int nChecked = 0;
    for (int i = 0; i < nRows && i < static_cast<int>(expected.size()); ++i)
    {
        // Each read is a round trip to the program's thread; with a stride, the rows of files found on one side
        // only are sampled, every compared pair and the last row are always read.
        const Expected& want = expected[static_cast<size_t>(i)];
        const bool bOneSide = want.verdict == kOnly1 || want.verdict == kOnly2;
        if (bOneSide && i % stride != 0 && i != nRows - 1)
            continue;
        ++nChecked;
        const std::wstring name = ListItemText(hList, remote, i, 0);
        const std::wstring verdict = ListItemText(hList, remote, i, 1);
        if (name != expected[static_cast<size_t>(i)].name || verdict != expected[static_cast<size_t>(i)].verdict)
        {
            if (nWrong < 5)
                std::printf("wrong_row=%d got=%s|%s want=%s|%s\n", i, U8(name).c_str(), U8(verdict).c_str(),
                            U8(expected[static_cast<size_t>(i)].name).c_str(), U8(expected[static_cast<size_t>(i)].verdict).c_str());
            ++nWrong;
        }
    }
    const bool bRowsRight = nWrong == 0 && nRows == static_cast<int>(expected.size());
    std::printf("rows=%d expected_rows=%zu rows_checked=%d rows_wrong=%d check_seconds=%.1f\n", nRows, expected.size(),
                nChecked, nWrong, Now() - tc);
    const bool bComplete = text == kRunComplete;
    std::printf("result=%s\n", bComplete && bRowsRight ? "ok" : "wrong");
    AnswerBox(hBox);
    WaitFor([&] { return p.Idle(); }, 10, 5);
    Quit(p);
    return bComplete && bRowsRight ? 0 : 1;
}

// The file bar as drawn on the screen: what the user sees, not the position the program has set.
class BarCapture
{
public:
    explicit BarCapture(HWND hBar)
    {
        ::GetWindowRect(hBar, &m_rect);
        m_w = m_rect.right - m_rect.left;
        m_h = m_rect.bottom - m_rect.top;
        m_hScreen = ::GetDC(nullptr);
        m_hMem = ::CreateCompatibleDC(m_hScreen);
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = m_w;
        bi.bmiHeader.biHeight = -m_h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        m_hBitmap = ::CreateDIBSection(m_hMem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_pBits = static_cast<const UINT32*>(bits);
        m_hOld = ::SelectObject(m_hMem, m_hBitmap);
    }
    ~BarCapture()
    {
        ::SelectObject(m_hMem, m_hOld);
        ::DeleteObject(m_hBitmap);
        ::DeleteDC(m_hMem);
        ::ReleaseDC(nullptr, m_hScreen);
    }
    BarCapture(const BarCapture&) = delete;
    BarCapture& operator=(const BarCapture&) = delete;
    // Pixels of the middle row that differ from the bar's right end, which stays empty until the pair is done.
    int Filled()
    {
        ::BitBlt(m_hMem, 0, 0, m_w, m_h, m_hScreen, m_rect.left, m_rect.top, SRCCOPY);
        ::GdiFlush();
        const UINT32* row = m_pBits + static_cast<size_t>(m_h / 2) * static_cast<size_t>(m_w);
        const UINT32 empty = row[m_w - 4];
        int n = 0;
        for (int x = 3; x < m_w - 4; ++x)
            n += row[x] != empty;
        return n;
    }

private:
    RECT m_rect{};
    int m_w = 0, m_h = 0;
    HDC m_hScreen = nullptr, m_hMem = nullptr;
    HBITMAP m_hBitmap = nullptr;
    HGDIOBJ m_hOld = nullptr;
    const UINT32* m_pBits = nullptr;
};

struct Changes
{
    int nChanges = 0;
    double fLast = 0, fMaxGap = 0;
    long nLastValue = -1;
    void Sample(long value, double t)
    {
        if (value == nLastValue)
            return;
        if (nLastValue >= 0)
        {
            ++nChanges;
            fMaxGap = std::max(fMaxGap, t - fLast);
        }
        fLast = t;
        nLastValue = value;
    }
    void End(double t) { fMaxGap = std::max(fMaxGap, t - fLast); }
};

int AbortCommand(const std::wstring& exe, const std::wstring& src1, const std::wstring& src2, DWORD sampleMs)
{
    Program p = Launch(exe);
    Prepare(p, src1, src2);
    HWND hBar = p.Item(IDC_FILE_PROGRESS);
    const double tClick = ClickCompare(p);
    if (!WaitFor([&] { return !p.Idle() || p.Box(); }, 30) || p.Box())
    {
        HWND hBox = p.Box();
        std::printf("box=%s\n", hBox ? U8(BoxText(hBox)).c_str() : "");
        Quit(p);
        Fail("run never started");
    }
    const double tRunning = Now();
    // The first position: the run is under way once the bar has moved off 0.
    WaitFor([&] {
        DWORD_PTR pos = 0;
        ::SendMessageTimeoutW(hBar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &pos);
        return pos > 0;
    }, 30, 5);
    const double tStart = Now();
    std::printf("click_to_running_ms=%.1f click_to_first_bar_ms=%.1f\n", (tRunning - tClick) * 1e3, (tStart - tClick) * 1e3);

    Changes position, paint;
    BarCapture capture(hBar);
    int nSamples = 0;
    double fWorstAnswer = 0;
    long nFirstPos = -1, nLastPos = 0;
    const int nFirstPixels = capture.Filled();
    int nLastPixels = nFirstPixels;
    while (Now() - tStart < sampleMs / 1000.0)
    {
        const double t = Now();
        DWORD_PTR pos = 0;
        ::SendMessageTimeoutW(hBar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos);
        const double tAnswered = Now();
        fWorstAnswer = std::max(fWorstAnswer, tAnswered - t);
        position.Sample(static_cast<long>(pos), tAnswered);
        nLastPixels = capture.Filled();
        paint.Sample(nLastPixels, Now());
        if (nFirstPos < 0)
            nFirstPos = static_cast<long>(pos);
        nLastPos = static_cast<long>(pos);
        ++nSamples;
        ::Sleep(4);
    }
    position.End(Now());
    paint.End(Now());
    const double fSampled = Now() - tStart;
    // The bar is a few hundred pixels wide: a repaint shows only once the fill has grown by a pixel, so the
    // pixels gained bound the repaints that can be seen.
    std::printf("sample_seconds=%.2f samples=%d bar_pos_from=%ld bar_pos_to=%ld bar_pixels_from=%d bar_pixels_to=%d\n",
                fSampled, nSamples, nFirstPos, nLastPos, nFirstPixels, nLastPixels);
    std::printf("bar_changes=%d bar_max_gap_ms=%.1f paint_changes=%d paint_max_gap_ms=%.1f getpos_worst_ms=%.1f\n",
                position.nChanges, position.fMaxGap * 1e3, paint.nChanges, paint.fMaxGap * 1e3, fWorstAnswer * 1e3);
    std::fflush(stdout);

    if (p.Idle() || p.Box())
    {
        std::printf("result=run ended before the abort click; use a bigger pair\n");
        Quit(p);
        return 1;
    }
    const double tAbort = Click(p.Item(IDC_ABORT));
    const bool bIdle = WaitFor([&] { return p.Idle(); }, 60);
    const double tIdle = Now();
    HWND hBox = nullptr;
    const bool bBox = WaitFor([&] { return (hBox = p.Box()) != nullptr; }, bIdle ? 10 : 1);
    const double tBox = Now();
    const std::wstring text = bBox ? BoxText(hBox) : std::wstring();
    std::printf("abort_to_idle_ms=%s%.1f abort_to_box_ms=%s%.1f box=%s\n", bIdle ? "" : ">", (tIdle - tAbort) * 1e3,
                bBox ? "" : ">", (tBox - tAbort) * 1e3, U8(text).c_str());
    RemoteBuffer remote(p.pi.hProcess, 64 * 1024);
    const std::wstring verdict = ListItemText(p.Item(IDC_RESULT_LIST), remote, 0, 1);
    std::printf("row0=%s\n", U8(verdict).c_str());
    const bool bOk = bIdle && bBox && text == L"比較が中断されました。" && verdict == L"中断";
    std::printf("result=%s\n", bOk ? "ok" : "wrong");
    std::fflush(stdout);
    if (!bIdle)
        ::TerminateProcess(p.pi.hProcess, 1);
    else
        Quit(p);
    return bOk ? 0 : 1;
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5)
    {
        std::fprintf(stderr, "usage: dialog_bench run|abort TAVIK_EXE SRC1 SRC2 [TIMEOUT_S [STRIDE]|SAMPLE_MS]\n");
        return 2;
    }
    const std::wstring cmd = argv[1];
    if (cmd == L"run")
        return RunCommand(argv[2], argv[3], argv[4], argc > 5 ? _wtof(argv[5]) : 600.0, argc > 6 ? std::max(1, _wtoi(argv[6])) : 1);
    if (cmd == L"abort")
        return AbortCommand(argv[2], argv[3], argv[4], argc > 5 ? static_cast<DWORD>(_wtoi(argv[5])) : 5000);
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
