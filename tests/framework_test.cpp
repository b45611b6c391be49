// The framework layer and the message table: texts as built into tavik.exe, CString, CStringList, CFileFind,
// the message box, and the window procedure's handling of CUserException.
#include "Dialog.h"
#include "FileFind.h"
#include "ResultText.h"
#include "StringList.h"
#include "TestSupport.h"
#include "UserException.h"
#include "WinApp.h"
#include "resource.h"
#include <gtest/gtest.h>
#include <atomic>
#include <thread>

namespace
{
const wchar_t* const kMessages[] = {
    nullptr,
    L"ファイル名が長すぎるか無効なため処理を続行できません。",
    L"ファイルが開けない",
    L"ファイルサイズが違う",
    L"メモリーの確保に失敗",
    L"スレッドの作成に失敗",
    L"エラーはありません",
    L"これ以上比較するファイルがない",
    L"比較が中断されました。",
    L"中断",
    L"同じ",
    L"比較完了",
    L"予期しないエラーが発生したため中断しました。(スレッドの作成に失敗)",
    L"内容が違う",
    L"ファイルサイズが違う",
    L"中断",
    L"予期しないエラー(1)",
    L"未定義のエラー",
    L"ドライブの検索に失敗しました。",
    L"ファイル名",
    L"結果",
    L"ソース１にのみ存在",
    L"ソース２にのみ存在",
    L"未比較",
    L"通常はチェックしてください。",
    L"チェックをすると、同名で内容の違うファイルが見つかった時点で処理を中断します。",
    L"全体の進行状況が表示されます。",
    L"現在のファイルに対する比較の進行状況です。",
    L"このファイルの読み出し状況です。",
    L"使用済みの読み取りバッファの量を表示します。",
    L"ファイルの読み出しに失敗しました。",
    L"予期しないエラー(2)",
    L"エラーはありません",
    L"内容の異なるファイルを見つけたので処理を中断します。",
    L"通常モード",
    L"高速モード",
    L"ソース１の対象フォルダを選択してください。",
    L"ソース２の対象フォルダを選択してください。",
};

std::wstring LoadFrom(HMODULE hModule, UINT id)
{
    const wchar_t* p = nullptr;
    const int n = ::LoadStringW(hModule, id, reinterpret_cast<LPWSTR>(&p), 0);
    return n > 0 ? std::wstring(p, static_cast<size_t>(n)) : std::wstring();
}

TEST(MessageTable, EveryTextLoadsFromTheBuiltProgramExactlyAsWritten)
{
    HMODULE hProgram = ::LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hProgram, nullptr) << "cannot load tavik.exe";
    for (UINT id = 1; id <= 37; ++id)
        EXPECT_EQ(LoadFrom(hProgram, id), kMessages[id]) << "message " << id;
    EXPECT_EQ(LoadFrom(hProgram, 38), L"");
    EXPECT_EQ(LoadFrom(hProgram, 0), L"");
    ::FreeLibrary(hProgram);
}

TEST(MessageTable, ResultRowsShareTextsAndFallBackToUndefinedError)
{
    EXPECT_EQ(std::wstring(LoadResultText(IDS_SIZE_DIFFERS)), L"ファイルサイズが違う");
    EXPECT_EQ(std::wstring(LoadResultText(IDS_LENGTH_DIFFERS)), L"ファイルサイズが違う");
    EXPECT_EQ(std::wstring(LoadResultText(IDS_ABORTED)), L"中断");
    EXPECT_EQ(std::wstring(LoadResultText(IDS_INTERRUPTED)), L"中断");
    EXPECT_EQ(std::wstring(LoadResultText(IDS_SAME)), L"同じ");
    for (UINT code : {0u, 38u, 99u, 12345u})
        EXPECT_EQ(std::wstring(LoadResultText(code)), L"未定義のエラー") << code;

    CString s;
    EXPECT_TRUE(s.LoadString(IDS_SAME));
    EXPECT_FALSE(s.LoadString(38));
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CStringTest, ComparesByCodeUnitWithoutCaseFolding)
{
    const struct
    {
        const wchar_t *a, *b;
        int sign;
    } cases[] = {
        {L"B.txt", L"a.txt", -1},  {L"Z", L"a", -1},         {L"a", L"ab", -1},
        {L"A.TXT", L"a.txt", -1},  {L"same", L"same", 0},    {L"", L"a", -1},
        // U+10000 is stored as D800 DC00, which sorts before U+FF21 although its code point is larger.
        {L"\xD800\xDC00", L"\xFF21", -1}, {L"ソース", L"ソ", 1},
    };
    for (const auto& c : cases)
    {
        const int r = CString(c.a).Compare(CString(c.b));
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << "case " << &c - cases;
        const int back = CString(c.b).Compare(CString(c.a));
        EXPECT_EQ((back > 0) - (back < 0), -c.sign);
    }
}

TEST(CStringListTest, KeepsTailOrderAndEmptiesCompletely)
{
    CStringList list(10);
    EXPECT_TRUE(list.IsEmpty());
    for (const wchar_t* s : {L"b", L"a", L"c"})
        list.AddTail(s);
    EXPECT_EQ(list.GetCount(), 3);
    std::wstring joined;
    for (POSITION pos = list.GetHeadPosition(); pos;)
        joined += list.GetNext(pos);
    EXPECT_EQ(joined, L"bac");
    EXPECT_EQ(std::wstring(list.RemoveHead()), L"b");
    EXPECT_EQ(list.GetCount(), 2);
    list.RemoveAll();
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    list.AddTail(L"again");
    EXPECT_EQ(list.GetCount(), 1);
}

TEST(CFileFindTest, VisitsEveryEntryIncludingTheLastAndRefusesOverlongPatterns)
{
    TempDir dir;
    WriteText(dir / L"one.txt", "1");
    WriteText(dir / L"two.txt", "2");
    MakeDir(dir / L"sub");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile((dir.Path() + L"*.*").c_str()));
    std::vector<std::wstring> seen;
    bool more = true;
    while (more)
    {
        more = finder.FindNextFile();
        if (!finder.IsDots())
            seen.push_back(std::wstring(finder.GetFilePath()));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::wstring>{dir / L"one.txt", dir / L"sub", dir / L"two.txt"}));

    EXPECT_FALSE(finder.FindFile((dir.Path() + L"missing\\*.*").c_str()));
    const std::wstring longPattern = dir.Path() + std::wstring(MAX_PATH, L'x') + L"\\*.*";
    EXPECT_FALSE(finder.FindFile(longPattern.c_str()));
}

TEST(MessageBoxTest, ShowsTheTextWithTheProgramNameOneIconAndOnlyOk)
{
    const struct
    {
        UINT id, type;
        LPCWSTR icon;
    } cases[] = {{IDS_BAD_FILENAME, MB_OK | MB_ICONEXCLAMATION, IDI_EXCLAMATION}, {IDS_RUN_COMPLETE, MB_OK | MB_ICONINFORMATION, IDI_INFORMATION}};
    for (const auto& c : cases)
    {
        int result = 0;
        const AnsweredBox box = AnswerMessageBox([&] { result = AfxMessageBox(c.id, c.type); });
        ASSERT_TRUE(box.shown);
        EXPECT_EQ(box.caption, L"framework_tests");
        EXPECT_EQ(box.text, kMessages[c.id]);
        EXPECT_EQ(box.hIcon, ::LoadIconW(nullptr, c.icon));
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_EQ(result, IDOK);
    }
}

// A dialog whose Compare handler tells the user nothing and throws, as a failing command does.
class ThrowingDialog : public CDialog
{
public:
    ThrowingDialog() : CDialog(IDD_MAIN) {}
    std::atomic<int> nCalls{0};
    std::atomic<int> nAfterThrow{0};

protected:
    void OnCompare()
    {
        ++nCalls;
        AfxThrowUserException();
        ++nAfterThrow;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ThrowingDialog, CDialog)
    ON_BN_CLICKED(IDC_COMPARE, OnCompare)
END_MESSAGE_MAP()

// Runs a ThrowingDialog's modal loop on a thread of its own.
struct ModalRun
{
    ModalRun()
    {
        ui = std::thread([this] {
            tid = ::GetCurrentThreadId();
            result = dlg.DoModal();
        });
        PumpUntil([&] { return tid != 0; });
        hDlg = WaitForThreadWindow(tid, L"#32770", L"Tavik Ver0.10β");
    }
    ~ModalRun()
    {
        if (hDlg && ::IsWindow(hDlg))
            ::PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        if (ui.joinable())
            ui.join();
    }
    ThrowingDialog dlg;
    std::atomic<DWORD> tid{0};
    std::atomic<INT_PTR> result{0};
    HWND hDlg = nullptr;
    std::thread ui;
};

TEST(DialogTest, AUserExceptionEndsTheCommandSilentlyAndTheDialogLivesOn)
{
    ModalRun run;
    ASSERT_NE(run.hDlg, nullptr);
    for (int i = 1; i <= 2; ++i)
    {
        ::SendMessageW(run.hDlg, WM_COMMAND, MAKEWPARAM(IDC_COMPARE, BN_CLICKED), 0);
        EXPECT_EQ(run.dlg.nCalls, i);
    }
    EXPECT_EQ(run.dlg.nAfterThrow, 0);
    EXPECT_TRUE(::IsWindow(run.hDlg));
    EXPECT_EQ(FindThreadWindow(run.tid, L"#32770", nullptr), run.hDlg);  // no message box appeared
    ::PostMessageW(run.hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_TRUE(PumpUntil([&] { return !::IsWindow(run.hDlg); }));
    run.ui.join();
    EXPECT_EQ(run.result, IDCANCEL);
}

TEST(DialogTest, EnterAndEscEndTheDialogWithOkAndCancel)
{
    const struct
    {
        UINT vk;
        INT_PTR expected;
    } cases[] = {{VK_RETURN, IDOK}, {VK_ESCAPE, IDCANCEL}};
    for (const auto& c : cases)
    {
        ModalRun run;
        ASSERT_NE(run.hDlg, nullptr);
        // The key goes to the focused control, the first tree; the dialog manager turns it into the command.
        ::PostMessageW(::GetDlgItem(run.hDlg, IDC_TREE_SRC1), WM_KEYDOWN, c.vk, 0);
        run.ui.join();
        EXPECT_EQ(run.result, c.expected);
    }
}
}  // namespace
