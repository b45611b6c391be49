// The comparison run and its progress display, through the real dialog under Wine on real files of drive T:.
#include "DialogHarness.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

namespace
{
const UINT64 MiB = 0x100000;
const int kFileBars[] = {IDC_FILE_PROGRESS, IDC_READ_SRC1, IDC_READ_SRC2, IDC_BUFFER_SRC1, IDC_BUFFER_SRC2};

double MsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

HICON InformationIcon()
{
    return ::LoadIconW(nullptr, IDI_INFORMATION);
}

// Positions the dialog set on one bar, in order.
std::vector<int> Positions(const std::vector<ControlMessage>& log, int id)
{
    std::vector<int> v;
    for (const ControlMessage& m : log)
        if (m.nId == id && m.uMsg == PBM_SETPOS)
            v.push_back(static_cast<int>(m.wParam));
    return v;
}

std::vector<std::wstring> Texts(const std::vector<ControlMessage>& log, int id)
{
    std::vector<std::wstring> v;
    for (const ControlMessage& m : log)
        if (m.nId == id && m.uMsg == WM_SETTEXT)
            v.push_back(m.text);
    return v;
}

// The ten messages before log[i] empty the five per-file bars: range 0 to 1000, then position 0, bar by bar.
bool ResetEndsAt(const std::vector<ControlMessage>& log, size_t i)
{
    if (i < 10)
        return false;
    for (size_t b = 0; b < 5; ++b)
    {
        const ControlMessage& range = log[i - 10 + 2 * b];
        const ControlMessage& pos = log[i - 9 + 2 * b];
        if (range.nId != kFileBars[b] || range.uMsg != PBM_SETRANGE32 || range.wParam != 0 || range.lParam != 1000)
            return false;
        if (pos.nId != kFileBars[b] || pos.uMsg != PBM_SETPOS || pos.wParam != 0)
            return false;
    }
    return true;
}

// Replaces the engine's platform calls for one test.
class PlatformPatch
{
public:
    PlatformPatch() : m_saved(g_enginePlatform) {}
    ~PlatformPatch() { g_enginePlatform = m_saved; }
    PlatformPatch(const PlatformPatch&) = delete;
    PlatformPatch& operator=(const PlatformPatch&) = delete;

private:
    CEnginePlatform m_saved;
};

class RunTest : public TwoFoldersOnT
{
protected:
    RunTest() : TwoFoldersOnT(L"run-test") {}
    std::wstring S1(const std::wstring& name) const { return root + L"s1\\" + name; }
    std::wstring S2(const std::wstring& name) const { return root + L"s2\\" + name; }
    void Equal(const std::wstring& name, size_t size, unsigned seed = 7) const
    {
        const auto data = Pattern(size, seed);
        WriteBytes(S1(name), data);
        WriteBytes(S2(name), data);
    }
    // Equal sizes, the last byte differs.
    void LastByteDiffers(const std::wstring& name, size_t size) const
    {
        auto data = Pattern(size, 9);
        WriteBytes(S1(name), data);
        data.back() ^= 0x80;
        WriteBytes(S2(name), data);
    }
    void Compare(const DialogRun& run) const
    {
        SelectBoth(run);
        run.Click(IDC_COMPARE);
    }
    // Compares and answers the box that ends the run; the controls are idle again afterwards.
    AnsweredBox CompareToEnd(const DialogRun& run) const
    {
        Compare(run);
        AnsweredBox box = run.AnswerBox();
        EXPECT_TRUE(run.WaitForStates(kIdleState));
        return box;
    }
    // Sets the five per-file bars, the overall bar and both labels to values that no rule produces.
    static void Scramble(const DialogRun& run)
    {
        run.OnUi([&] {
            for (int id : kFileBars)
            {
                ::SendMessageW(run.Item(id), PBM_SETRANGE32, 0, 1000);
                ::SendMessageW(run.Item(id), PBM_SETPOS, 444, 0);
            }
            ::SendMessageW(run.Item(IDC_TOTAL_PROGRESS), PBM_SETRANGE32, 0, 9);
            ::SendMessageW(run.Item(IDC_TOTAL_PROGRESS), PBM_SETPOS, 7, 0);
            ::SetWindowTextW(run.Item(IDC_MODE), L"mode?");
            ::SetWindowTextW(run.Item(IDC_FILE_NAME), L"name?");
        });
    }
};

// Start fails for lack of memory for the pair in this row, and only for it.
std::atomic<int> g_nNoMemoryRow{-1};
std::atomic<CCompareDlg*> g_pNoMemoryDlg{nullptr};
using PfnVirtualAlloc = LPVOID(WINAPI*)(LPVOID, SIZE_T, DWORD, DWORD);
// Taken from the DLL itself: the program's own reference goes through the slot that the patch replaces.
const PfnVirtualAlloc g_pfnRealVirtualAlloc =
    reinterpret_cast<PfnVirtualAlloc>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "VirtualAlloc")));

LPVOID WINAPI VirtualAllocFailingForOneRow(LPVOID p, SIZE_T size, DWORD type, DWORD protect)
{
    CCompareDlg* pDlg = g_pNoMemoryDlg;
    if (pDlg && size >= MiB && ::GetCurrentThreadId() == ::GetWindowThreadProcessId(pDlg->GetSafeHwnd(), nullptr) &&
        pDlg->m_nNextPair - 1 == g_nNoMemoryRow)
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_pfnRealVirtualAlloc(p, size, type, protect);
}

TEST_F(RunTest, EveryPairGetsTheVerdictOfItsOwnCauseAndTheRunGoesOnToTheEnd)
{
    ASSERT_TRUE(FaultRules::Available()) << "run_tests must run with the fault injector preloaded";
    Equal(L"a_same.bin", 3 * MiB + 5);
    LastByteDiffers(L"b_differs.bin", 3 * MiB);
    WriteText(S1(L"c_size.txt"), "abc");
    WriteText(S2(L"c_size.txt"), "abcd");
    Equal(L"d_locked.bin", MiB);
    Equal(L"e_empty", 0);
    Equal(L"f_nomem.bin", 1000);
    WriteText(S1(L"g_only1.txt"), "1");
    WriteText(S2(L"h_only2.txt"), "2");
    Equal(L"i_readerr.bin", 2 * MiB);
    Equal(L"j_grows.bin", 4 * MiB);
    Equal(L"k_one.bin", 1);
    Equal(L"l_16mib.bin", 16 * MiB);
    FaultRules rules;
    rules.Eio(S2(L"i_readerr.bin"), MiB);
    rules.Resize(S1(L"j_grows.bin"), 2 * MiB, 5 * MiB);
    HANDLE hLock = ::CreateFileW(S2(L"d_locked.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hLock, INVALID_HANDLE_VALUE);
    ImportPatch noMemory("kernel32.dll", "VirtualAlloc", reinterpret_cast<void*>(VirtualAllocFailingForOneRow));
    ASSERT_TRUE(noMemory.Applied());

    DialogRun run;
    g_nNoMemoryRow = 5;
    g_pNoMemoryDlg = &run.dlg;
    run.SetCheck(IDC_STOP_ON_DIFF, false);
    Compare(run);
    HWND hBox = run.WaitForBox();
    g_pNoMemoryDlg = nullptr;
    ::CloseHandle(hLock);
    ASSERT_NE(hBox, nullptr);
    const MessageBoxInfo box = ReadMessageBox(hBox);
    EXPECT_EQ(box.text, L"比較完了");
    EXPECT_EQ(box.hIcon, InformationIcon());
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    // The controls keep the running state until the box is closed.
    EXPECT_EQ(run.States(), kRunningState);
    const std::vector<ControlMessage> log = run.Log();

    const std::vector<std::wstring> names = {L"a_same.bin", L"b_differs.bin", L"c_size.txt", L"d_locked.bin",
                                             L"e_empty", L"f_nomem.bin", L"g_only1.txt", L"h_only2.txt",
                                             L"i_readerr.bin", L"j_grows.bin", L"k_one.bin", L"l_16mib.bin"};
    const std::vector<std::wstring> verdicts = {L"同じ", L"内容が違う", L"ファイルサイズが違う", L"ファイルが開けない",
                                                L"同じ", L"メモリーの確保に失敗", L"ソース１にのみ存在", L"ソース２にのみ存在",
                                                L"中断", L"ファイルサイズが違う", L"同じ", L"同じ"};
    EXPECT_EQ(run.Column(0), names);
    EXPECT_EQ(run.Column(1), verdicts);
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 12);
    EXPECT_EQ(run.Range(IDC_TOTAL_PROGRESS), std::make_pair(0, 12));
    for (int id : kFileBars)
    {
        EXPECT_EQ(run.Pos(id), 0) << id;  // the last completion emptied them
        EXPECT_EQ(run.Range(id), std::make_pair(0, 1000)) << id;
    }

    // Each pair present on both sides is started in list order, after the per-file bars were emptied and the
    // overall bar set to the number of pairs before it; a start that failed writes its row at once.
    const std::vector<int> started = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11};
    std::vector<std::wstring> startedNames;
    for (int i : started)
        startedNames.push_back(names[static_cast<size_t>(i)]);
    EXPECT_EQ(Texts(log, IDC_FILE_NAME), startedNames);
    std::vector<int> totals = started;
    totals.push_back(12);
    EXPECT_EQ(Positions(log, IDC_TOTAL_PROGRESS), totals);
    size_t nStart = 0, nVerdicts = 0;
    for (size_t i = 0; i < log.size(); ++i)
    {
        const ControlMessage& m = log[i];
        if (m.nId == IDC_TOTAL_PROGRESS && m.uMsg == PBM_SETRANGE32)
        {
            EXPECT_EQ(m.lParam, 12);
        }
        if (m.nId == IDC_FILE_NAME && m.uMsg == WM_SETTEXT && nStart < started.size())
        {
            SCOPED_TRACE(testing::Message() << "start of " << testing::PrintToString(m.text));
            ASSERT_GE(i, 12u);
            EXPECT_TRUE(ResetEndsAt(log, i - 2));
            EXPECT_EQ(log[i - 2].nId, IDC_TOTAL_PROGRESS);
            EXPECT_EQ(log[i - 2].uMsg, static_cast<UINT>(PBM_SETRANGE32));
            EXPECT_EQ(log[i - 1].nId, IDC_TOTAL_PROGRESS);
            EXPECT_EQ(log[i - 1].wParam, static_cast<WPARAM>(started[nStart]));
            ++nStart;
        }
        if (m.uMsg == LVM_SETITEMTEXTW && m.nSubItem == 1 && i > 0 && log[i - 1].uMsg != LVM_INSERTITEMW)
        {
            // A verdict after the list was filled: one row each, for the pair that ran or failed to start.
            SCOPED_TRACE(testing::Message() << "verdict of row " << m.wParam);
            ++nVerdicts;
            ASSERT_LT(m.wParam, names.size());
            EXPECT_EQ(m.text, verdicts[m.wParam]);
            const bool bStartFailed = m.wParam == 2 || m.wParam == 3 || m.wParam == 5;
            if (bStartFailed)
            {
                EXPECT_EQ(log[i - 1].text, names[m.wParam]);
            }
            else
            {
                EXPECT_TRUE(ResetEndsAt(log, i));
            }
        }
        if (m.uMsg == PBM_SETPOS && std::find(std::begin(kFileBars), std::end(kFileBars), m.nId) != std::end(kFileBars))
        {
            EXPECT_LE(m.wParam, 1000u) << m.nId;
        }
    }
    EXPECT_EQ(nVerdicts, started.size());
    // Files of 0 and 1 byte: the shifted size is 0, so the three byte bars never leave 0.
    for (const wchar_t* tiny : {L"e_empty", L"k_one.bin"})
    {
        bool bInside = false;
        for (const ControlMessage& m : log)
        {
            if (m.nId == IDC_FILE_NAME && m.uMsg == WM_SETTEXT)
                bInside = m.text == tiny;
            else if (bInside && m.uMsg == PBM_SETPOS && (m.nId == IDC_FILE_PROGRESS || m.nId == IDC_READ_SRC1 || m.nId == IDC_READ_SRC2))
            {
                EXPECT_EQ(m.wParam, 0u) << testing::PrintToString(std::wstring(tiny)) << " bar " << m.nId;
            }
        }
    }
    const std::vector<std::wstring> modes = Texts(log, IDC_MODE);
    EXPECT_FALSE(modes.empty());
    for (const std::wstring& mode : modes)
        EXPECT_EQ(mode, L"高速モード");

    PressOk(hBox);
    EXPECT_TRUE(run.WaitForStates(kIdleState));
    EXPECT_EQ(g_nBoxes, 1);
    for (const std::wstring& name : names)
    {
        if (name != L"h_only2.txt")
        {
            EXPECT_TRUE(CanOpenExclusive(S1(name))) << testing::PrintToString(name);
        }
        if (name != L"g_only1.txt")
        {
            EXPECT_TRUE(CanOpenExclusive(S2(name))) << testing::PrintToString(name);
        }
    }
}

TEST_F(RunTest, StopOnDifferenceEndsAtTheFirstContentDifferenceButNotAtALengthChange)
{
    ASSERT_TRUE(FaultRules::Available());
    Equal(L"a_grows.bin", 4 * MiB);
    Equal(L"b_same.bin", 2 * MiB);
    LastByteDiffers(L"c_differs.bin", 2 * MiB + 3);
    Equal(L"d_same.bin", 10);
    WriteText(S1(L"e_size.txt"), "ab");
    WriteText(S2(L"e_size.txt"), "abc");
    WriteText(S1(L"f_only1.txt"), "1");
    FaultRules rules;
    rules.Resize(S1(L"a_grows.bin"), 2 * MiB, 5 * MiB);

    DialogRun run;
    ASSERT_EQ(::SendMessageW(run.Item(IDC_STOP_ON_DIFF), BM_GETCHECK, 0, 0), BST_CHECKED);
    Compare(run);
    HWND hBox = run.WaitForBox();
    ASSERT_NE(hBox, nullptr);
    const MessageBoxInfo box = ReadMessageBox(hBox);
    EXPECT_EQ(box.text, L"内容の異なるファイルを見つけたので処理を中断します。");
    EXPECT_EQ(box.hIcon, InformationIcon());
    EXPECT_EQ(run.States(), kRunningState);
    EXPECT_EQ(run.Column(1), (std::vector<std::wstring>{L"ファイルサイズが違う", L"同じ", L"内容が違う", L"未比較",
                                                         L"ファイルサイズが違う", L"ソース１にのみ存在"}));
    // The overall bar stays at the index of the pair that stopped the run.
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 2);
    EXPECT_EQ(run.Range(IDC_TOTAL_PROGRESS), std::make_pair(0, 6));
    EXPECT_EQ(WindowText(run.Item(IDC_FILE_NAME)), L"c_differs.bin");
    for (int id : kFileBars)
        EXPECT_EQ(run.Pos(id), 0) << id;
    PressOk(hBox);
    EXPECT_TRUE(run.WaitForStates(kIdleState));
    ASSERT_TRUE(run.Sync());
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 2);
    EXPECT_EQ(g_nBoxes, 1);
    EXPECT_EQ(run.Row(3, 1), L"未比較");
}

// A read error on either source, at the start, in the middle of the second block or at the last byte, ends only
// its own pair, as interrupted; the run goes on to the end, in both modes.
TEST_F(RunTest, AReadErrorOnEitherSourceAnywhereInTheFileInterruptsOnlyItsOwnPairInBothModes)
{
    ASSERT_TRUE(FaultRules::Available());
    const size_t size = 3 * MiB + 5;
    const struct
    {
        const wchar_t* name;
        int nSource;
        UINT64 from;
    } errors[] = {
        {L"a1_start.bin", 1, 0}, {L"a2_start.bin", 2, 0}, {L"b1_second.bin", 1, MiB + MiB / 2},
        {L"b2_second.bin", 2, MiB + MiB / 2}, {L"c1_last.bin", 1, size - 1}, {L"c2_last.bin", 2, size - 1},
    };
    FaultRules rules;
    std::vector<std::wstring> verdicts;
    for (const auto& e : errors)
    {
        Equal(e.name, size);
        rules.Eio(e.nSource == 1 ? S1(e.name) : S2(e.name), e.from);
        verdicts.push_back(L"中断");
    }
    Equal(L"d_same.bin", size);
    verdicts.push_back(L"同じ");
    for (bool bFast : {true, false})
    {
        SCOPED_TRACE(bFast ? "fast" : "normal");
        DialogRun run;
        run.SetCheck(IDC_FAST_MODE, bFast);
        const AnsweredBox box = CompareToEnd(run);
        EXPECT_EQ(box.text, L"比較完了");
        EXPECT_EQ(run.Column(1), verdicts);
    }
}

TEST_F(RunTest, FoldersWithoutPlainFilesEndAtOnceWithAnEmptyListAndAnEmptyOverallRange)
{
    MakeDir(S1(L"sub"));
    WriteText(S1(L"sub\\deeper.txt"), "not directly in the folder");
    MakeDir(S2(L"sub"));
    DialogRun run;
    Scramble(run);
    const AnsweredBox box = CompareToEnd(run);
    EXPECT_EQ(box.text, L"比較完了");
    EXPECT_EQ(box.hIcon, InformationIcon());
    EXPECT_EQ(run.RowCount(), 0);
    EXPECT_EQ(run.Range(IDC_TOTAL_PROGRESS), std::make_pair(0, 0));
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 0);
    // No pair was started: the name field and the per-file bars keep what they showed.
    EXPECT_EQ(WindowText(run.Item(IDC_FILE_NAME)), L"name?");
    EXPECT_EQ(run.Pos(IDC_FILE_PROGRESS), 444);
    EXPECT_EQ(g_nBoxes, 1);
}

TEST_F(RunTest, FoldersThatShareNoNameListEveryFileAsOneSidedAndEndAtOnce)
{
    WriteText(S1(L"b.txt"), "b");
    WriteText(S1(L"d.txt"), "d");
    WriteText(S2(L"a.txt"), "a");
    WriteText(S2(L"c.txt"), "c");
    DialogRun run;
    Scramble(run);
    const AnsweredBox box = CompareToEnd(run);
    EXPECT_EQ(box.text, L"比較完了");
    EXPECT_EQ(run.Column(0), (std::vector<std::wstring>{L"a.txt", L"b.txt", L"c.txt", L"d.txt"}));
    EXPECT_EQ(run.Column(1), (std::vector<std::wstring>{L"ソース２にのみ存在", L"ソース１にのみ存在", L"ソース２にのみ存在", L"ソース１にのみ存在"}));
    EXPECT_EQ(run.Range(IDC_TOTAL_PROGRESS), std::make_pair(0, 4));
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 4);
    EXPECT_EQ(WindowText(run.Item(IDC_FILE_NAME)), L"name?");
}

TEST_F(RunTest, RowsAreInsertedInNameOrderWithRedrawOffWhateverOrderTheFolderListsItsFilesIn)
{
    // Wine matches names without regard to case, so no two names here differ in case only.
    const std::vector<std::wstring> created = {L"m.txt", L"B.txt", L"z", L"a10", L"_under", L"a2", L"Z9", L"é.txt",
                                               L"0.bin", L"a", L"y.y", L"q", L"c.c", L"k"};
    for (const std::wstring& name : created)
        WriteText(S1(name), "x");
    WriteText(S2(L"k"), "x");
    WriteText(S2(L"a"), "yy");
    std::vector<std::wstring> listed;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = ::FindFirstFileW((root + L"s1\\*").c_str(), &fd);
    ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
    do
    {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            listed.push_back(fd.cFileName);
    } while (::FindNextFileW(hFind, &fd));
    ::FindClose(hFind);
    std::vector<std::wstring> sorted = created;
    std::sort(sorted.begin(), sorted.end());  // UTF-16 code unit order
    ASSERT_NE(listed, sorted) << "the folder lists its files sorted already; the order of the rows would prove nothing";

    DialogRun run;
    run.ClearLog();
    const AnsweredBox box = CompareToEnd(run);
    EXPECT_EQ(box.text, L"比較完了");
    EXPECT_EQ(run.Column(0), sorted);
    for (size_t i = 0; i < sorted.size(); ++i)
    {
        const std::wstring want = sorted[i] == L"k" ? L"同じ" : sorted[i] == L"a" ? L"ファイルサイズが違う" : L"ソース１にのみ存在";
        EXPECT_EQ(run.Row(static_cast<int>(i), 1), want) << testing::PrintToString(sorted[i]);
    }
    // Filling: the old rows go, redraw is switched off, every row is inserted with its first verdict, redraw on.
    const std::vector<ControlMessage> log = run.Log();
    std::vector<std::wstring> inserted;
    int nRedraw = -1;
    bool bDeleted = false;
    for (const ControlMessage& m : log)
    {
        if (m.nId != IDC_RESULT_LIST)
            continue;
        if (m.uMsg == LVM_DELETEALLITEMS)
            bDeleted = true;
        else if (m.uMsg == WM_SETREDRAW)
            nRedraw = static_cast<int>(m.wParam);
        else if (m.uMsg == LVM_INSERTITEMW)
        {
            EXPECT_TRUE(bDeleted);
            EXPECT_EQ(nRedraw, 0) << "row " << inserted.size() << " inserted with redraw on";
            EXPECT_EQ(m.wParam, inserted.size());
            inserted.push_back(m.text);
        }
    }
    EXPECT_EQ(nRedraw, 1);
    EXPECT_EQ(inserted, sorted);
}

TEST_F(RunTest, ASecondCompareRebuildsThePairListAndTheRowsFromScratch)
{
    Equal(L"a.bin", 5000);
    Equal(L"b.bin", 6000);
    WriteText(S1(L"c.txt"), "c");
    DialogRun run;
    run.SetCheck(IDC_STOP_ON_DIFF, false);
    EXPECT_EQ(CompareToEnd(run).text, L"比較完了");
    EXPECT_EQ(run.Column(1), (std::vector<std::wstring>{L"同じ", L"同じ", L"ソース１にのみ存在"}));

    ::DeleteFileW(S1(L"c.txt").c_str());
    ::DeleteFileW(S2(L"b.bin").c_str());
    WriteText(S2(L"d.txt"), "d");
    PokeByte(S2(L"a.bin"), 4999, 0);
    PokeByte(S1(L"a.bin"), 4999, 1);
    EXPECT_EQ(CompareToEnd(run).text, L"比較完了");
    EXPECT_EQ(run.Column(0), (std::vector<std::wstring>{L"a.bin", L"b.bin", L"d.txt"}));
    EXPECT_EQ(run.Column(1), (std::vector<std::wstring>{L"内容が違う", L"ソース１にのみ存在", L"ソース２にのみ存在"}));
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 3);
    EXPECT_EQ(run.Range(IDC_TOTAL_PROGRESS), std::make_pair(0, 3));
}

TEST_F(RunTest, CompareWithoutAFolderInATreeReadsTheOptionsStopsTheEngineAsksAndChangesNothingElse)
{
    Equal(L"a.bin", 100);
    WriteText(S1(L"b.txt"), "b");
    const struct
    {
        int nTree;
        bool bFast, bStop;
        const wchar_t* text;
    } cases[] = {
        // Each option goes from checked to unchecked in one case and back in the other.
        {IDC_TREE_SRC1, false, true, L"ソース１の対象フォルダを選択してください。"},
        {IDC_TREE_SRC2, true, false, L"ソース２の対象フォルダを選択してください。"},
    };
    DialogRun run;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "tree " << c.nTree << " fast " << c.bFast << " stop " << c.bStop);
        run.SetCheck(IDC_FAST_MODE, !c.bFast);
        run.SetCheck(IDC_STOP_ON_DIFF, !c.bStop);
        ASSERT_EQ(CompareToEnd(run).text, L"比較完了");
        ASSERT_EQ(run.dlg.m_bFastMode, !c.bFast);
        ASSERT_EQ(run.dlg.m_bStopOnDiff, !c.bStop);
        // A pair that ended by itself leaves the engine not stopped, so only this Compare can stop it.
        ASSERT_FALSE(run.dlg.m_engine.IsStopped());
        const std::vector<std::wstring> rows = run.Column(1);
        const int nTotal = run.Pos(IDC_TOTAL_PROGRESS);

        TreeView_SelectItem(run.Item(c.nTree), nullptr);
        run.SetCheck(IDC_FAST_MODE, c.bFast);
        run.SetCheck(IDC_STOP_ON_DIFF, c.bStop);
        run.ClearLog();
        run.Click(IDC_COMPARE);
        HWND hBox = run.WaitForBox();
        ASSERT_NE(hBox, nullptr);
        const MessageBoxInfo info = ReadMessageBox(hBox);
        EXPECT_EQ(info.text, c.text);
        EXPECT_EQ(info.hIcon, InformationIcon());
        EXPECT_EQ(info.buttons, std::vector<int>{IDOK});
        EXPECT_EQ(run.dlg.m_bFastMode, c.bFast);
        EXPECT_EQ(run.dlg.m_bStopOnDiff, c.bStop);
        EXPECT_TRUE(run.dlg.m_engine.IsStopped());
        PressOk(hBox);
        ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(hBox); }));
        ASSERT_TRUE(run.Sync());
        EXPECT_EQ(run.States(), kIdleState);
        EXPECT_EQ(run.Column(1), rows);
        EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), nTotal);
        for (const ControlMessage& m : run.Log())
            ADD_FAILURE() << "the command touched control " << m.nId << " with message " << m.uMsg << " " << m.wParam;
    }
}

TEST_F(RunTest, AHundredPairsRunAsFastBesideTwoThousandOneSidedRowsAsAloneAndEveryRowIsRight)
{
    std::vector<std::wstring> want;
    for (int i = 0; i < 100; ++i)
    {
        wchar_t name[32];
        swprintf(name, 32, L"pair_%03d", i);
        Equal(name, 4096, static_cast<unsigned>(i));
        want.push_back(L"同じ");
    }
    DialogRun run;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(CompareToEnd(run).text, L"比較完了");
    const double alone = MsSince(t0);
    EXPECT_EQ(run.Column(1), want);

    for (int i = 0; i < 1000; ++i)
    {
        wchar_t name[32];
        swprintf(name, 32, L"one1_%04d", i);
        WriteText(S1(name), "1");
        swprintf(name, 32, L"one2_%04d", i);
        WriteText(S2(name), "2");
    }
    std::vector<std::wstring> wantAll(1000, L"ソース１にのみ存在");
    wantAll.insert(wantAll.end(), 1000, L"ソース２にのみ存在");
    wantAll.insert(wantAll.end(), want.begin(), want.end());
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(CompareToEnd(run).text, L"比較完了");
    const double beside = MsSince(t0);
    EXPECT_EQ(run.Column(1), wantAll);
    // The same pairs through the engine alone, for comparison.
    double engineMs = 0;
    {
        CCompareEngine engine;
        NotifySink sink;
        engine.m_hNotifyWnd = sink.Hwnd();
        const auto te = std::chrono::steady_clock::now();
        for (int i = 0; i < 100; ++i)
        {
            wchar_t name[32];
            swprintf(name, 32, L"pair_%03d", i);
            sink.Clear();
            ASSERT_EQ(engine.Start(S1(name).c_str(), S2(name).c_str(), true), IDS_STARTED);
            ASSERT_TRUE(sink.WaitCompletions(1));
            EXPECT_EQ(sink.Completions()[0], IDS_SAME);
            EXPECT_TRUE(engine.WaitFinished());
        }
        engineMs = MsSince(te);
    }
    std::printf("[ measure  ] 100 pairs of 4 KiB: %.0f ms alone (%.0f pairs/s), %.0f ms beside 2,000 one-sided rows (%.0f "
                "pairs/s); the engine alone on the same pairs %.0f ms (%.0f pairs/s)\n",
                alone, 100000.0 / alone, beside, 100000.0 / beside, engineMs, 100000.0 / engineMs);
    // Generous bounds for a busy machine: a list that repainted per row, or a run whose cost per pair grew with
    // the list, would be far outside them.
    EXPECT_LT(beside, 60000.0);
    EXPECT_LT(beside, 3 * alone + 5000.0);
}

// GetDiskFreeSpaceW as a volume answers that cannot tell its sector size, or tells 0.
BOOL WINAPI DiskFreeSpaceFails(LPCWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD)
{
    ::SetLastError(ERROR_NOT_READY);
    return FALSE;
}

BOOL WINAPI DiskWithoutSectors(LPCWSTR, LPDWORD pSectorsPerCluster, LPDWORD pBytesPerSector, LPDWORD pFree, LPDWORD pTotal)
{
    *pSectorsPerCluster = 8;
    *pBytesPerSector = 0;
    *pFree = 1000;
    *pTotal = 2000;
    return TRUE;
}

TEST_F(RunTest, TheModeLabelShowsTheModeTheEngineUsesNotTheOneAskedFor)
{
    Equal(L"pair.bin", 2 * MiB + 1);
    const struct
    {
        bool bFast;
        void* pfnDiskFreeSpace;  // null: the real volume, which tells its sector size
        const wchar_t* label;
    } cases[] = {
        {true, nullptr, L"高速モード"},
        {false, nullptr, L"通常モード"},
        {true, reinterpret_cast<void*>(DiskFreeSpaceFails), L"通常モード"},
        {true, reinterpret_cast<void*>(DiskWithoutSectors), L"通常モード"},
        {false, reinterpret_cast<void*>(DiskFreeSpaceFails), L"通常モード"},
    };
    DialogRun run;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "fast " << c.bFast << (c.pfnDiskFreeSpace ? " volume refuses" : " real volume"));
        std::unique_ptr<ImportPatch> patch;
        if (c.pfnDiskFreeSpace)
        {
            patch = std::make_unique<ImportPatch>("kernel32.dll", "GetDiskFreeSpaceW", c.pfnDiskFreeSpace);
            ASSERT_TRUE(patch->Applied());
        }
        Scramble(run);
        run.SetCheck(IDC_FAST_MODE, c.bFast);
        EXPECT_EQ(CompareToEnd(run).text, L"比較完了");
        EXPECT_EQ(run.Row(0, 1), L"同じ");
        EXPECT_EQ(WindowText(run.Item(IDC_MODE)), c.label);
        EXPECT_EQ(run.dlg.m_engine.m_bNormalMode, std::wstring(c.label) == L"通常モード");
    }
}

// One snapshot of the engine as a progress notice finds it, and the six displays it must give.
struct Snapshot
{
    UINT64 nSize, nCompared, nRead1, nRead2;
    UINT32 nSlots, nFilled1, nFilled2;
    bool bNormal;
    int file, read1, read2, buffer1, buffer2;
};

const Snapshot kSnapshots[] = {
    // Both counts are halved: 3 of 4 is 1 of 2; 1 of 2 is 0 of 1; 2 of 3 is 1 of 1.
    {4, 3, 4, 2, 16, 5, 16, true, 500, 1000, 500, 312, 1000},
    {2, 1, 2, 0, 16, 0, 1, false, 0, 1000, 0, 0, 62},
    {3, 2, 3, 1, 16, 16, 15, true, 1000, 1000, 0, 1000, 937},
    {5, 3, 5, 4, 16, 2, 3, false, 500, 1000, 1000, 125, 187},
    // Truncated, not rounded: 2 of 3 is 666.
    {6, 4, 2, 6, 3, 1, 2, true, 666, 333, 1000, 333, 666},
    // The shifted size is 0 for files of 0 and 1 byte: the byte bars show 0.
    {1, 1, 1, 1, 16, 1, 1, true, 0, 0, 0, 62, 62},
    {0, 0, 0, 0, 16, 1, 1, false, 0, 0, 0, 62, 62},
    // Past 4 GiB the 64-bit counts keep their precision.
    {8ull << 30, 6ull << 30, (8ull << 30) - 2, 1ull << 32, 16, 8, 0, true, 750, 999, 500, 500, 0},
    // A file that grew while read, and counts no file has: a full bar, never an overflowed one.
    {4 * MiB, 5 * MiB, 9 * MiB, ~0ull, 16, 16, 16, false, 1000, 1000, 1000, 1000, 1000},
    {2, ~0ull, 1ull << 63, 3, 16, 17, 40, true, 1000, 1000, 1000, 1000, 1000},
    // No slots: an empty buffer bar.
    {10, 10, 10, 10, 0, 3, 3, true, 1000, 1000, 1000, 0, 0},
};

TEST_F(RunTest, AProgressNoticeShowsOneSnapshotByTheRulesOfEachDisplay)
{
    DialogRun run;
    for (const Snapshot& s : kSnapshots)
    {
        SCOPED_TRACE(testing::Message() << "size " << s.nSize << " compared " << s.nCompared << " read " << s.nRead1 << "/"
                                        << s.nRead2 << " filled " << s.nFilled1 << "/" << s.nFilled2 << " of " << s.nSlots);
        Scramble(run);
        run.OnUi([&] {
            CCompareEngine& e = run.dlg.m_engine;
            e.m_nFileSize = s.nSize;
            e.m_nBytesCompared = s.nCompared;
            e.m_nBytesRead[0] = s.nRead1;
            e.m_nBytesRead[1] = s.nRead2;
            e.m_nFilledSlots[0] = s.nFilled1;
            e.m_nFilledSlots[1] = s.nFilled2;
            e.m_bNormalMode = s.bNormal;
            run.dlg.m_bPairRunning = true;
        });
        run.ClearLog();
        // The slot count also sizes the engine's arrays: it is changed only around the notice.
        LRESULT r = -1;
        run.OnUi([&] {
            CCompareEngine& e = run.dlg.m_engine;
            const UINT32 nSlots = e.m_nSlotCount;
            e.m_nSlotCount = s.nSlots;
            r = ::SendMessageW(run.hDlg, WM_COMPARE_NOTIFY, 1, 0);
            e.m_nSlotCount = nSlots;
            run.dlg.m_bPairRunning = false;
        });
        EXPECT_EQ(r, 0);
        EXPECT_EQ(run.Pos(IDC_FILE_PROGRESS), s.file);
        EXPECT_EQ(run.Pos(IDC_READ_SRC1), s.read1);
        EXPECT_EQ(run.Pos(IDC_READ_SRC2), s.read2);
        EXPECT_EQ(run.Pos(IDC_BUFFER_SRC1), s.buffer1);
        EXPECT_EQ(run.Pos(IDC_BUFFER_SRC2), s.buffer2);
        EXPECT_EQ(WindowText(run.Item(IDC_MODE)), s.bNormal ? L"通常モード" : L"高速モード");
        // In this order, and nothing else: the overall bar and the name belong to the run.
        const std::vector<ControlMessage> log = run.Log();
        std::vector<int> ids;
        for (const ControlMessage& m : log)
            ids.push_back(m.nId);
        EXPECT_EQ(ids, (std::vector<int>{IDC_FILE_PROGRESS, IDC_READ_SRC1, IDC_READ_SRC2, IDC_BUFFER_SRC1, IDC_BUFFER_SRC2, IDC_MODE}));
        // The positions as sent: the bar would clamp a position past its range itself and hide a wrong one.
        std::vector<WPARAM> sent;
        for (const ControlMessage& m : log)
            if (m.uMsg == PBM_SETPOS)
                sent.push_back(m.wParam);
        EXPECT_EQ(sent, (std::vector<WPARAM>{WPARAM(s.file), WPARAM(s.read1), WPARAM(s.read2), WPARAM(s.buffer1), WPARAM(s.buffer2)}));
        EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 7);
        EXPECT_EQ(WindowText(run.Item(IDC_FILE_NAME)), L"name?");
    }
}

TEST_F(RunTest, AProgressNoticeWithoutARunningPairShowsNothing)
{
    DialogRun run;
    Scramble(run);
    run.ClearLog();
    LRESULT r = -1;
    run.OnUi([&] {
        CCompareEngine& e = run.dlg.m_engine;
        e.m_nFileSize = 100;
        e.m_nBytesCompared = 100;
        e.m_nBytesRead[0] = e.m_nBytesRead[1] = 100;
        e.m_nFilledSlots[0] = e.m_nFilledSlots[1] = 4;
        e.m_bNormalMode = false;
        run.dlg.m_bPairRunning = false;
        r = ::SendMessageW(run.hDlg, WM_COMPARE_NOTIFY, 1, 0);
    });
    EXPECT_EQ(r, 0);
    // Shown, it would put another pair's figures, or a mode not asked for, on the displays.
    EXPECT_TRUE(run.Log().empty());
    for (int id : kFileBars)
        EXPECT_EQ(run.Pos(id), 444) << id;
    EXPECT_EQ(WindowText(run.Item(IDC_MODE)), L"mode?");
}

// Progress notices are held back as if still queued, and one is posted right behind the completion: a notice
// that the dialog takes only after the pair has ended, and after the next start has failed.
std::atomic<int> g_nHeldProgress;

BOOL WINAPI PostProgressLate(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_COMPARE_NOTIFY && wParam == 1)
    {
        ++g_nHeldProgress;
        return TRUE;
    }
    const BOOL bPosted = ::PostMessageW(hWnd, uMsg, wParam, lParam);
    if (uMsg == WM_COMPARE_NOTIFY && wParam == 0 && g_nHeldProgress > 0)
        ::PostMessageW(hWnd, WM_COMPARE_NOTIFY, 1, 0);
    return bPosted;
}

TEST_F(RunTest, ALateNoticeAfterTheNextStartFailedShowsNeitherThePairsFiguresNorAModeNotAskedFor)
{
    Equal(L"a.bin", 3 * MiB);
    const struct
    {
        bool bFast;
        const wchar_t* failing;  // the last pair, which cannot start
        const wchar_t* verdict;
    } cases[] = {
        {true, L"b.txt", L"ファイルサイズが違う"},  // the engine took the new size: the old counts would overflow it
        {false, L"c.bin", L"ファイルが開けない"},   // the engine had set the fast mode flag before the open failed
    };
    PlatformPatch restore;
    g_enginePlatform.pfnPostMessage = PostProgressLate;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.failing)));
        for (const wchar_t* name : {L"b.txt", L"c.bin"})
        {
            ::DeleteFileW(S1(name).c_str());
            ::DeleteFileW(S2(name).c_str());
        }
        HANDLE hLock = INVALID_HANDLE_VALUE;
        if (std::wstring(c.failing) == L"b.txt")
        {
            WriteText(S1(L"b.txt"), "abc");
            WriteText(S2(L"b.txt"), "abcd");
        }
        else
        {
            Equal(L"c.bin", 5000);
            hLock = ::CreateFileW(S2(L"c.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(hLock, INVALID_HANDLE_VALUE);
        }
        g_nHeldProgress = 0;
        DialogRun run;
        run.SetCheck(IDC_FAST_MODE, c.bFast);
        Scramble(run);
        Compare(run);
        HWND hBox = run.WaitForBox();
        ASSERT_NE(hBox, nullptr);
        EXPECT_EQ(ReadMessageBox(hBox).text, L"比較完了");
        ASSERT_TRUE(run.Sync());
        if (hLock != INVALID_HANDLE_VALUE)
            ::CloseHandle(hLock);
        EXPECT_GE(g_nHeldProgress, 1);
        EXPECT_GE(g_nProgressTaken, 1);  // the late notice was delivered and handled
        EXPECT_EQ(run.Column(1), (std::vector<std::wstring>{L"同じ", c.verdict}));
        for (int id : kFileBars)
            EXPECT_EQ(run.Pos(id), 0) << id;
        EXPECT_EQ(WindowText(run.Item(IDC_MODE)), L"mode?");
        PressOk(hBox);
        EXPECT_TRUE(run.WaitForStates(kIdleState));
    }
}

TEST_F(RunTest, ACompletionIsHandledByTheRulesOfItsCodeAndOfTheEnginesState)
{
    Equal(L"a.txt", 1);
    WriteText(S1(L"b.txt"), "only in source 1");
    DialogRun run;
    ASSERT_EQ(CompareToEnd(run).text, L"比較完了");
    ASSERT_FALSE(run.dlg.m_engine.IsStopped());
    // From here on the engine's threads are joined and its stop event set, as after any pair: completions are
    // posted by the test, as the comparer would post them, onto the run's state as it is between two pairs.
    const struct
    {
        bool bStopped, bReadError, bDiffers, bStopOnDiff;
        LPARAM code;
        const wchar_t *row, *box;
    } cases[] = {
        {true, false, false, true, IDS_SAME, L"中断", L"比較が中断されました。"},
        {true, false, false, false, IDS_INTERRUPTED, L"中断", L"比較が中断されました。"},
        {true, true, false, true, IDS_INTERRUPTED, L"中断", L"ファイルの読み出しに失敗しました。"},
        {true, false, true, true, IDS_CONTENT_DIFFERS, L"中断", L"内容が違う"},
        {true, true, true, false, IDS_CONTENT_DIFFERS, L"中断", L"ファイルの読み出しに失敗しました。"},
        {false, false, false, true, IDS_SAME, L"同じ", L"比較完了"},
        {false, false, true, true, IDS_CONTENT_DIFFERS, L"内容が違う", L"内容の異なるファイルを見つけたので処理を中断します。"},
        {false, false, true, false, IDS_CONTENT_DIFFERS, L"内容が違う", L"比較完了"},
        {false, false, true, true, IDS_LENGTH_DIFFERS, L"ファイルサイズが違う", L"比較完了"},
        {false, true, false, true, IDS_INTERRUPTED, L"中断", L"比較完了"},
        {false, false, false, true, 999, L"未定義のエラー", L"比較完了"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " stopped " << c.bStopped << " read error " << c.bReadError
                                        << " differs " << c.bDiffers << " stop on difference " << c.bStopOnDiff);
        Scramble(run);
        run.OnUi([&] {
            CCompareEngine& e = run.dlg.m_engine;
            e.m_bStopped = c.bStopped;
            e.m_bReadError[0] = false;
            e.m_bReadError[1] = c.bReadError;
            e.m_bContentDiffers = c.bDiffers;
            run.dlg.m_bStopOnDiff = c.bStopOnDiff;
            run.dlg.m_nNextPair = 1;
            run.dlg.m_bPairRunning = true;
            CListCtrl(run.Item(IDC_RESULT_LIST)).SetItemText(0, 1, L"未比較");
            run.dlg.SetRunningState();
        });
        ::PostMessageW(run.hDlg, WM_COMPARE_NOTIFY, 0, c.code);
        HWND hBox = run.WaitForBox();
        ASSERT_NE(hBox, nullptr);
        const MessageBoxInfo box = ReadMessageBox(hBox);
        EXPECT_EQ(box.text, c.box);
        EXPECT_EQ(box.hIcon, InformationIcon());
        EXPECT_EQ(run.Row(0, 1), c.row);
        EXPECT_EQ(run.Row(1, 1), L"ソース１にのみ存在");
        EXPECT_EQ(run.States(), kRunningState);
        // A pair that ended by itself empties the per-file bars; an aborted one leaves them as they were.
        for (int id : kFileBars)
            EXPECT_EQ(run.Pos(id), c.bStopped ? 444 : 0) << id;
        const bool bComplete = std::wstring(c.box) == L"比較完了";
        EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), bComplete ? 2 : 7);
        EXPECT_EQ(run.Range(IDC_TOTAL_PROGRESS), bComplete ? std::make_pair(0, 2) : std::make_pair(0, 9));
        EXPECT_FALSE(run.dlg.m_bPairRunning);
        PressOk(hBox);
        EXPECT_TRUE(run.WaitForStates(kIdleState));
        ASSERT_TRUE(run.Sync());
        EXPECT_EQ(run.FindBox(), nullptr);
    }

    // Notices the run does not expect change nothing: a completion while no pair runs, and an unknown kind.
    const int nBoxes = g_nBoxes;
    for (WPARAM kind : {WPARAM(0), WPARAM(2)})
    {
        SCOPED_TRACE(testing::Message() << "kind " << kind);
        run.OnUi([&] {
            run.dlg.m_engine.m_bStopped = true;
            run.dlg.m_bPairRunning = kind != 0;
            run.dlg.m_nNextPair = 1;
            CListCtrl(run.Item(IDC_RESULT_LIST)).SetItemText(0, 1, L"未比較");
            run.dlg.SetRunningState();
        });
        // Posted, not sent: handled by mistake, it would open a box, and a sent message would wait for it.
        ::PostMessageW(run.hDlg, WM_COMPARE_NOTIFY, kind, IDS_SAME);
        ASSERT_TRUE(run.Sync());
        EXPECT_EQ(run.Row(0, 1), L"未比較");
        EXPECT_EQ(run.States(), kRunningState);
        EXPECT_EQ(run.dlg.m_bPairRunning, kind != 0);
        EXPECT_EQ(g_nBoxes, nBoxes);
    }
    run.OnUi([&] {
        run.dlg.m_bPairRunning = false;
        run.dlg.SetIdleState();
    });
}

TEST_F(RunTest, StartNextPairSkipsOneSidedPairsAndPreparesTheDisplaysBeforeEveryStart)
{
    WriteText(S1(L"a.txt"), "1");
    WriteText(S2(L"b.txt"), "2");
    WriteText(S1(L"c.txt"), "abc");
    WriteText(S2(L"c.txt"), "abcd");
    Equal(L"d.bin", 10);
    DialogRun run;
    ASSERT_EQ(CompareToEnd(run).text, L"比較完了");
    ASSERT_EQ(run.Column(0), (std::vector<std::wstring>{L"a.txt", L"b.txt", L"c.txt", L"d.bin"}));
    HANDLE hLock = ::CreateFileW(S2(L"d.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hLock, INVALID_HANDLE_VALUE);

    const struct
    {
        int nResult, nNextAfter, nTotal;
        const wchar_t* name;
        bool bReset;
    } steps[] = {
        {IDS_SIZE_DIFFERS, 3, 2, L"c.txt", true},  // a and b are skipped; Start is asked though the sizes differ
        {IDS_CANNOT_OPEN, 4, 3, L"d.bin", true},
        {IDS_NO_MORE_FILES, 4, 7, L"name?", false},  // nothing left: no display is touched, the index stays
        {IDS_NO_MORE_FILES, 4, 7, L"name?", false},
    };
    run.OnUi([&] { run.dlg.m_nNextPair = 0; });
    for (const auto& s : steps)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(s.name)));
        Scramble(run);
        run.OnUi([&] {
            for (int id : kFileBars)
            {
                ::SendMessageW(run.Item(id), PBM_SETRANGE32, 0, 50);
                ::SendMessageW(run.Item(id), PBM_SETPOS, 30, 0);
            }
        });
        int r = -1;
        run.OnUi([&] {
            run.dlg.m_engine.m_hNotifyWnd = nullptr;
            r = run.dlg.StartNextPair();
        });
        EXPECT_EQ(r, s.nResult);
        EXPECT_EQ(run.dlg.m_nNextPair, s.nNextAfter);
        EXPECT_EQ(run.dlg.m_bPairRunning, false);
        EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), s.nTotal);
        EXPECT_EQ(run.Range(IDC_TOTAL_PROGRESS), s.bReset ? std::make_pair(0, 4) : std::make_pair(0, 9));
        EXPECT_EQ(WindowText(run.Item(IDC_FILE_NAME)), s.name);
        EXPECT_EQ(run.dlg.m_engine.m_hNotifyWnd, s.bReset ? run.hDlg : nullptr);
        for (int id : kFileBars)
        {
            EXPECT_EQ(run.Pos(id), s.bReset ? 0 : 30) << id;
            EXPECT_EQ(run.Range(id), s.bReset ? std::make_pair(0, 1000) : std::make_pair(0, 50)) << id;
        }
        // The mode belongs to the engine's snapshot, not to the start.
        EXPECT_EQ(WindowText(run.Item(IDC_MODE)), L"mode?");
    }
    ::CloseHandle(hLock);
}

TEST_F(RunTest, ResetFileProgressEmptiesTheFivePerFileBarsAndNothingElse)
{
    DialogRun run;
    Scramble(run);
    run.OnUi([&] {
        for (int id : kFileBars)
        {
            ::SendMessageW(run.Item(id), PBM_SETRANGE32, 0, 50);
            ::SendMessageW(run.Item(id), PBM_SETPOS, 30, 0);
        }
    });
    run.ClearLog();
    run.OnUi([&] { run.dlg.ResetFileProgress(); });
    const std::vector<ControlMessage> log = run.Log();
    ASSERT_EQ(log.size(), 10u);
    EXPECT_TRUE(ResetEndsAt(log, 10));
    for (int id : kFileBars)
    {
        EXPECT_EQ(run.Pos(id), 0);
        EXPECT_EQ(run.Range(id), std::make_pair(0, 1000));
    }
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 7);
    EXPECT_EQ(WindowText(run.Item(IDC_MODE)), L"mode?");
    EXPECT_EQ(WindowText(run.Item(IDC_FILE_NAME)), L"name?");
}

TEST_F(RunTest, AThreadThatCannotBeCreatedEndsTheDialogWithOneBox)
{
    Equal(L"a.bin", 3 * MiB);
    Equal(L"b.bin", 3 * MiB);
    WriteText(S1(L"c.txt"), "c");
    PlatformPatch restore;
    g_enginePlatform.pfnCreateThread = FailingCreateThread;
    for (int nCreated : {0, 1, 2})
    {
        SCOPED_TRACE(testing::Message() << nCreated << " threads of the second pair created");
        // The first pair gets its three threads, the second only nCreated.
        g_nThreadsBeforeFailure = 3 + nCreated;
        DialogRun run;
        Compare(run);
        HWND hBox = run.WaitForBox();
        ASSERT_NE(hBox, nullptr);
        const MessageBoxInfo box = ReadMessageBox(hBox);
        EXPECT_EQ(box.text, L"予期しないエラーが発生したため中断しました。(スレッドの作成に失敗)");
        EXPECT_EQ(box.hIcon, ::LoadIconW(nullptr, IDI_EXCLAMATION));
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        // A comparer that did start has posted its completion by now; the box's loop takes it.
        ASSERT_TRUE(run.Sync());
        EXPECT_EQ(g_nBoxes, 1);
        EXPECT_EQ(run.Column(1), (std::vector<std::wstring>{L"同じ", L"未比較", L"ソース１にのみ存在"}));
        EXPECT_EQ(run.States(), kRunningState);
        EXPECT_TRUE(run.dlg.m_engine.IsStopped());
        EXPECT_TRUE(CanOpenExclusive(S1(L"b.bin")));
        EXPECT_TRUE(CanOpenExclusive(S2(L"b.bin")));
        PressOk(hBox);
        ASSERT_TRUE(run.WaitDone());
        EXPECT_EQ(run.result, IDOK);
        EXPECT_EQ(g_enabledAtDestroy, kDisabledState);
        EXPECT_EQ(g_nBoxes, 1);
    }
}

TEST_F(RunTest, ExitAfterARunStopsTheEngineEndsWithOkAndDisablesTheFiveControls)
{
    Equal(L"a.bin", 1000);
    DialogRun run;
    ASSERT_EQ(CompareToEnd(run).text, L"比較完了");
    ASSERT_FALSE(run.dlg.m_engine.IsStopped());
    run.Click(IDC_EXIT);
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.result, IDOK);
    EXPECT_EQ(g_enabledAtDestroy, kDisabledState);
    // Recorded before the destroy handler, which stops the engine too.
    EXPECT_TRUE(g_bStoppedAtDestroy);
    EXPECT_EQ(g_nBoxes, 1);
}

// Two big pairs, so a comparison is still running when the test acts.
class RunningComparison : public RunTest
{
protected:
    void SetUp() override
    {
        RunTest::SetUp();
        Equal(L"a_first.bin", MiB);
        MakeSparse(S1(L"big.bin"), 8ull << 30);
        MakeSparse(S2(L"big.bin"), 8ull << 30);
        WriteText(S1(L"c_size.txt"), "ab");
        WriteText(S2(L"c_size.txt"), "abc");
        Equal(L"d_equal.bin", 10);
        WriteText(S1(L"e_only1.txt"), "1");
        WriteText(S2(L"f_only2.txt"), "2");
    }
    const std::vector<std::wstring> kFirstVerdicts = {L"ファイルサイズが違う", L"未比較", L"ソース１にのみ存在", L"ソース２にのみ存在"};

    // Compares and waits until the big pair runs and its file bar has moved several times.
    void StartBig(const DialogRun& run) const
    {
        Compare(run);
        ASSERT_TRUE(PumpUntil([&] { return WindowText(run.Item(IDC_FILE_NAME)) == L"big.bin"; }));
        ASSERT_TRUE(PumpUntil([&] { return run.Pos(IDC_FILE_PROGRESS) > 0; }));
    }
};

std::atomic<int> g_nProgressPosted;
std::atomic<int> g_nSecondProgressQueued;

BOOL WINAPI CountingPostMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_COMPARE_NOTIFY && wParam == 1)
    {
        if (g_nProgressPosted - g_nProgressTaken >= 1)
            ++g_nSecondProgressQueued;
        ++g_nProgressPosted;
    }
    return ::PostMessageW(hWnd, uMsg, wParam, lParam);
}

TEST_F(RunningComparison, ARealClickOnAbortStopsAtOnceKeepsTheBarsAndTellsTheUser)
{
    PlatformPatch restore;
    g_enginePlatform.pfnPostMessage = CountingPostMessage;
    DialogRun run;
    g_nProgressPosted = 0;
    g_nSecondProgressQueued = 0;
    StartBig(run);
    // From here on: a notice of the first pair that was still queued behind its completion has been taken.
    g_nSecondProgressQueued = 0;
    const int nPostedAtStart = g_nProgressPosted;
    const auto tBig = std::chrono::steady_clock::now();

    // While the pair runs: the bar moves, the dialog answers, and the rows not reached keep their first verdicts.
    int nChanges = 0, last = run.Pos(IDC_FILE_PROGRESS);
    double maxAnswerMs = 0, maxGapMs = 0;
    auto tChange = std::chrono::steady_clock::now();
    const bool bMoved = PumpUntil([&] {
        const auto tAsk = std::chrono::steady_clock::now();
        DWORD_PTR ignored;
        EXPECT_TRUE(::SendMessageTimeoutW(run.hDlg, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored));
        maxAnswerMs = std::max(maxAnswerMs, MsSince(tAsk));
        const int pos = run.Pos(IDC_FILE_PROGRESS);
        if (pos != last)
        {
            maxGapMs = std::max(maxGapMs, MsSince(tChange));
            tChange = std::chrono::steady_clock::now();
            last = pos;
            ++nChanges;
        }
        return nChanges >= 5;
    });
    ASSERT_TRUE(bMoved) << "the file bar did not move";
    EXPECT_LT(maxAnswerMs, 2000.0);
    EXPECT_EQ(run.States(), kRunningState);
    EXPECT_EQ(run.Row(0, 1), L"同じ");
    EXPECT_EQ(run.Row(1, 1), L"未比較");
    const std::vector<std::wstring> running = run.Column(1);
    EXPECT_EQ(std::vector<std::wstring>(running.begin() + 2, running.end()), kFirstVerdicts);
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 1);
    EXPECT_EQ(run.Range(IDC_TOTAL_PROGRESS), std::make_pair(0, 6));
    EXPECT_EQ(WindowText(run.Item(IDC_MODE)), L"高速モード");
    EXPECT_FALSE(CanOpenExclusive(S1(L"big.bin")));

    // The real cursor goes to the middle of the button, and the real mouse presses it.
    RECT rc;
    ::GetWindowRect(run.Item(IDC_ABORT), &rc);
    const POINT pt = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    ASSERT_TRUE(::SetCursorPos(pt.x, pt.y));
    ASSERT_EQ(::WindowFromPoint(pt), run.Item(IDC_ABORT)) << "something covers the button";
    const int nBarBefore = run.Pos(IDC_FILE_PROGRESS);
    INPUT input[3] = {};
    for (INPUT& in : input)
        in.type = INPUT_MOUSE;
    input[0].mi.dx = static_cast<LONG>(pt.x * 65535 / (::GetSystemMetrics(SM_CXSCREEN) - 1));
    input[0].mi.dy = static_cast<LONG>(pt.y * 65535 / (::GetSystemMetrics(SM_CYSCREEN) - 1));
    input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    const double runMs = MsSince(tBig);
    const auto tClick = std::chrono::steady_clock::now();
    ASSERT_EQ(::SendInput(3, input, sizeof(INPUT)), 3u);
    const bool bIdle = run.WaitForStates(kIdleState, 5000);
    const double clickMs = MsSince(tClick);
    std::printf("[ measure  ] click on Abort to idle: %.0f ms; dialog answered within %.0f ms at most; file bar changed "
                "%d times in %.0f ms, longest gap %.0f ms\n",
                clickMs, maxAnswerMs, nChanges, runMs, maxGapMs);
    ASSERT_TRUE(bIdle) << "the click was not handled within 5 s";
    // Idle at once: the engine has been stopped and the files are free before the user is told.
    EXPECT_TRUE(CanOpenExclusive(S1(L"big.bin")));
    EXPECT_TRUE(CanOpenExclusive(S2(L"big.bin")));

    HWND hBox = run.WaitForBox();
    ASSERT_NE(hBox, nullptr);
    const MessageBoxInfo box = ReadMessageBox(hBox);
    EXPECT_EQ(box.text, L"比較が中断されました。");
    EXPECT_EQ(box.hIcon, InformationIcon());
    EXPECT_EQ(run.States(), kIdleState);
    EXPECT_EQ(run.Row(0, 1), L"同じ");
    EXPECT_EQ(run.Row(1, 1), L"中断");
    const std::vector<std::wstring> aborted = run.Column(1);
    EXPECT_EQ(std::vector<std::wstring>(aborted.begin() + 2, aborted.end()), kFirstVerdicts);
    // The bars keep what they showed when the run was stopped; the overall bar stays at the aborted pair.
    EXPECT_GE(run.Pos(IDC_FILE_PROGRESS), nBarBefore);
    EXPECT_GT(run.Pos(IDC_FILE_PROGRESS), 0);
    EXPECT_GT(run.Pos(IDC_READ_SRC1), 0);
    EXPECT_EQ(run.Range(IDC_FILE_PROGRESS), std::make_pair(0, 1000));
    EXPECT_EQ(run.Pos(IDC_TOTAL_PROGRESS), 1);
    PressOk(hBox);
    ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(hBox); }));
    ASSERT_TRUE(run.Sync());
    EXPECT_EQ(g_nBoxes, 1);
    EXPECT_EQ(run.FindBox(), nullptr);
    EXPECT_FALSE(run.dlg.m_bPairRunning);
    EXPECT_EQ(run.States(), kIdleState);

    // However fast the engine reads, the queue never holds two progress notices, and they come at most every 16 ms.
    const int nPosted = g_nProgressPosted - nPostedAtStart;
    std::printf("[ measure  ] %d progress notices in %.0f ms of the big pair\n", nPosted, runMs);
    EXPECT_EQ(g_nSecondProgressQueued, 0);
    EXPECT_LE(nPosted, static_cast<int>((MsSince(tBig)) / 16.0) + 2);
    EXPECT_GE(nPosted, 5);
}

TEST_F(RunningComparison, EscEndsTheDialogWhoseDestroyHandlerStopsTheEngineAndShowsNoBox)
{
    DialogRun run;
    StartBig(run);
    EXPECT_FALSE(CanOpenExclusive(S1(L"big.bin")));
    run.PressKey(VK_ESCAPE);
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.result, IDCANCEL);
    // Still running when the window went: only the destroy handler can have stopped it.
    EXPECT_FALSE(g_bStoppedAtDestroy);
    EXPECT_EQ(g_enabledAtDestroy, kRunningState);
    EXPECT_TRUE(run.dlg.m_engine.IsStopped());
    EXPECT_TRUE(CanOpenExclusive(S1(L"big.bin")));
    EXPECT_TRUE(CanOpenExclusive(S2(L"big.bin")));
    EXPECT_EQ(g_nBoxes, 0);
}
}  // namespace
