// The main dialog created from its template under Wine: layout as built, start-up state, keyboard, tooltips,
// a drive list that cannot be read, resources of the program, and the real program started as a separate process.
#include "DialogHarness.h"
#include "version.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace
{
const wchar_t* const kCaption = kDialogCaption;

struct TemplateControl
{
    int id;
    const wchar_t* cls;
    int x, y, cx, cy;
    const wchar_t* text;
    DWORD style;  // besides WS_CHILD | WS_VISIBLE
};

const DWORD kTree = WS_BORDER | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS | TVS_FULLROWSELECT;
const DWORD kBar = WS_BORDER | PBS_SMOOTH;
const DWORD kLabel = WS_GROUP | SS_LEFT;
const TemplateControl kControls[] = {
    {IDC_TREE_SRC1, L"SysTreeView32", 5, 10, 135, 110, L"Tree1", kTree},
    {IDC_TREE_SRC2, L"SysTreeView32", 145, 10, 135, 110, L"Tree1", kTree},
    {IDC_RESULT_LIST, L"SysListView32", 5, 135, 275, 105, L"List1", WS_BORDER | LVS_REPORT},
    {IDC_FAST_MODE, L"Button", 10, 375, 133, 10, L"高速モードでアクセスする。", WS_TABSTOP | BS_AUTOCHECKBOX},
    {IDC_STOP_ON_DIFF, L"Button", 10, 385, 133, 10, L"一致しないファイルが有ったら中断する。", WS_TABSTOP | BS_AUTOCHECKBOX},
    {IDC_COMPARE, L"Button", 165, 385, 35, 15, L"比較", WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_ABORT, L"Button", 205, 385, 35, 15, L"中断", WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_EXIT, L"Button", 245, 385, 35, 15, L"終了", WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_READ_SRC1, L"msctls_progress32", 60, 310, 85, 10, L"Progress1", kBar},
    {IDC_READ_SRC2, L"msctls_progress32", 190, 310, 85, 10, L"Progress1", kBar},
    {IDC_TOTAL_PROGRESS, L"msctls_progress32", 10, 345, 265, 10, L"Progress1", kBar},
    {IDC_FILE_PROGRESS, L"msctls_progress32", 45, 285, 230, 10, L"Progress1", kBar},
    {-1, L"Static", 15, 310, 40, 8, L"読み出し状況", kLabel},
    {-1, L"Static", 145, 300, 31, 8, L"■ソース２", kLabel},
    {-1, L"Static", 10, 255, 77, 8, L"■現在のファイルについて", kLabel},
    {-1, L"Static", 10, 335, 56, 8, L"■全体の進行状況", kLabel},
    {-1, L"Static", 10, 300, 31, 8, L"■ソース１", kLabel},
    {-1, L"Static", 15, 320, 24, 8, L"バッファ", kLabel},
    {IDC_BUFFER_SRC1, L"msctls_progress32", 60, 320, 85, 10, L"Progress1", kBar},
    {-1, L"Static", 150, 320, 24, 8, L"バッファ", kLabel},
    {IDC_BUFFER_SRC2, L"msctls_progress32", 190, 320, 85, 10, L"Progress1", kBar},
    {-1, L"Static", 150, 310, 40, 8, L"読み出し状況", kLabel},
    {-1, L"Button", 5, 245, 275, 115, L"進行状況", BS_GROUPBOX},
    {-1, L"Static", 10, 285, 28, 8, L"比較状況", kLabel},
    {-1, L"Static", 10, 265, 31, 8, L"ファイル名", kLabel},
    {-1, L"Static", 10, 275, 32, 8, L"動作モード", kLabel},
    {IDC_FILE_NAME, L"Edit", 45, 265, 230, 10, L"", ES_LEFT | ES_READONLY},
    {IDC_MODE, L"Edit", 45, 275, 230, 10, L"", ES_LEFT | ES_READONLY},
    {-1, L"Button", 5, 365, 155, 35, L"動作設定", BS_GROUPBOX},
    {-1, L"Static", 5, 125, 22, 8, L"■結果", kLabel},
    {-1, L"Static", 5, 0, 31, 8, L"■ソース１", kLabel},
    {-1, L"Static", 145, 0, 31, 8, L"■ソース２", kLabel},
};

TEST(MainDialog, EveryControlIsBuiltAsTheTemplateSays)
{
    DialogRun run;
    ASSERT_NE(run.hDlg, nullptr);
    EXPECT_EQ(WindowText(run.hDlg), kCaption);
    const LONG style = ::GetWindowLongW(run.hDlg, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | DS_MODALFRAME), static_cast<LONG>(WS_POPUP | WS_CAPTION | DS_MODALFRAME));
    EXPECT_EQ(style & WS_SYSMENU, 0);
    EXPECT_TRUE(::GetWindowLongW(run.hDlg, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    RECT client;
    ::GetClientRect(run.hDlg, &client);
    RECT size = {0, 0, 283, 405};
    ::MapDialogRect(run.hDlg, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    size_t i = 0;
    for (HWND h = ::GetWindow(run.hDlg, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT), ++i)
    {
        ASSERT_LT(i, std::size(kControls)) << "more controls than the template has";
        const TemplateControl& c = kControls[i];
        SCOPED_TRACE(testing::Message() << "control #" << i + 1 << " id " << c.id);
        EXPECT_EQ(::GetDlgCtrlID(h), c.id);
        EXPECT_EQ(ClassName(h), c.cls);
        const DWORD actual = static_cast<DWORD>(::GetWindowLongW(h, GWL_STYLE));
        const DWORD expected = c.style | WS_CHILD | WS_VISIBLE;
        // Common controls trade WS_BORDER for an edge style of their own when they are created; the exact
        // bits are checked in the template resource.
        EXPECT_EQ(actual & expected & ~WS_BORDER, expected & ~WS_BORDER);
        EXPECT_EQ(actual & WS_TABSTOP, expected & WS_TABSTOP);
        // (A themed progress bar keeps no trace of it at all and draws its frame itself.)
        const bool bBorder = (actual & WS_BORDER) || (::GetWindowLongW(h, GWL_EXSTYLE) & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE));
        if (std::wstring(c.cls) != PROGRESS_CLASSW)
        {
            EXPECT_EQ(bBorder, (expected & WS_BORDER) != 0);
        }
        // The dialog manager maps a control's origin and its size separately, each rounded on its own.
        RECT origin = {c.x, c.y, c.cx, c.cy};
        ::MapDialogRect(run.hDlg, &origin);
        const RECT want = {origin.left, origin.top, origin.left + origin.right, origin.top + origin.bottom};
        RECT got;
        ::GetWindowRect(h, &got);
        ::MapWindowPoints(nullptr, run.hDlg, reinterpret_cast<POINT*>(&got), 2);
        EXPECT_EQ(got.left, want.left);
        EXPECT_EQ(got.top, want.top);
        EXPECT_EQ(got.right, want.right);
        EXPECT_EQ(got.bottom, want.bottom);
        EXPECT_EQ(WindowText(h), c.text);
    }
    EXPECT_EQ(i, std::size(kControls));
}

// Reads a string-or-ordinal field of a dialog template; ordinals of the predefined classes become their names.
const WORD* ReadField(const WORD* p, std::wstring& out)
{
    static const wchar_t* const kAtoms[] = {L"Button", L"Edit", L"Static", L"ListBox", L"ScrollBar", L"ComboBox"};
    if (*p == 0xFFFF)
    {
        out = p[1] >= 0x80 && p[1] <= 0x85 ? kAtoms[p[1] - 0x80] : std::to_wstring(p[1]);
        return p + 2;
    }
    out = reinterpret_cast<const wchar_t*>(p);
    return p + out.size() + 1;
}

TEST(MainDialog, TheTemplateResourceHoldsEveryControlExactly)
{
    HRSRC hRes = ::FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_MAIN), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    ASSERT_NE(hRes, nullptr);
    auto* head = static_cast<const WORD*>(::LockResource(::LoadResource(nullptr, hRes)));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(head + 6), static_cast<DWORD>(WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME | DS_SETFONT));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(head + 4), static_cast<DWORD>(WS_EX_APPWINDOW));
    EXPECT_EQ(head[9], 0);  // x
    EXPECT_EQ(head[10], 0); // y
    std::wstring menu, cls, caption, face;
    const WORD* p = ReadField(ReadField(ReadField(head + 13, menu), cls), caption);
    EXPECT_EQ(menu, L"");
    EXPECT_EQ(cls, L"");
    EXPECT_EQ(caption, kCaption);
    p = ReadField(p + 3, face);
    for (size_t i = 0; i < std::size(kControls); ++i)
    {
        const TemplateControl& c = kControls[i];
        SCOPED_TRACE(testing::Message() << "item #" << i + 1);
        p = reinterpret_cast<const WORD*>((reinterpret_cast<UINT_PTR>(p) + 3) & ~UINT_PTR(3));  // items are DWORD-aligned
        const DWORD* d = reinterpret_cast<const DWORD*>(p);
        EXPECT_EQ(d[1], 0u);  // extended style
        EXPECT_EQ(d[2], c.style | WS_CHILD | WS_VISIBLE);
        EXPECT_EQ(static_cast<short>(p[6]), c.x);
        EXPECT_EQ(static_cast<short>(p[7]), c.y);
        EXPECT_EQ(static_cast<short>(p[8]), c.cx);
        EXPECT_EQ(static_cast<short>(p[9]), c.cy);
        EXPECT_EQ(static_cast<int>(*reinterpret_cast<const DWORD*>(p + 10)), c.id);
        std::wstring itemClass, text;
        p = ReadField(ReadField(p + 12, itemClass), text);
        // Class names are case-insensitive; windres writes them upper-case, rc.exe as ordinals.
        EXPECT_EQ(_wcsicmp(itemClass.c_str(), c.cls), 0) << std::string(itemClass.begin(), itemClass.end());
        EXPECT_EQ(text, c.text);
        p += 1 + *p / sizeof(WORD);  // creation data
    }
}

TEST(MainDialog, TheTemplateNamesAJapaneseFontAndTheDialogGotOneWithKana)
{
    HRSRC hRes = ::FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_MAIN), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    ASSERT_NE(hRes, nullptr);
    auto* p = static_cast<const WORD*>(::LockResource(::LoadResource(nullptr, hRes)));
    ASSERT_EQ(p[0], 1);        // extended template, version 1
    ASSERT_EQ(p[1], 0xFFFF);
    EXPECT_EQ(p[8], 32);       // controls
    EXPECT_EQ(p[11], 283);
    EXPECT_EQ(p[12], 405);
    const WORD* q = p + 13;
    for (int field = 0; field < 3; ++field)  // menu, class, caption
        q = *q == 0xFFFF ? q + 2 : q + wcslen(reinterpret_cast<const wchar_t*>(q)) + 1;
    EXPECT_EQ(q[0], 9);        // points
    EXPECT_EQ(q[1], 0);        // weight
    EXPECT_EQ(q[2], 0x0100);   // not italic, DEFAULT_CHARSET
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(q + 3)), L"ＭＳ Ｐゴシック");

    DialogRun run;
    HFONT hFont = reinterpret_cast<HFONT>(::SendMessageW(run.hDlg, WM_GETFONT, 0, 0));
    ASSERT_NE(hFont, nullptr);
    HDC hdc = ::GetDC(run.hDlg);
    HGDIOBJ old = ::SelectObject(hdc, hFont);
    const wchar_t kana[] = L"ソース比較ファイルのバッファ";
    WORD glyphs[std::size(kana)];
    ASSERT_NE(::GetGlyphIndicesW(hdc, kana, static_cast<int>(wcslen(kana)), glyphs, GGI_MARK_NONEXISTING_GLYPHS), GDI_ERROR);
    for (size_t i = 0; i < wcslen(kana); ++i)
        EXPECT_NE(glyphs[i], 0xFFFF) << "no glyph for character " << i;
    ::SelectObject(hdc, old);
    ::ReleaseDC(run.hDlg, hdc);
}

TEST(MainDialog, StartsIdleWithBothOptionsCheckedEmptyDisplaysAndFocusInTheFirstTree)
{
    DialogRun run;
    ASSERT_NE(run.hDlg, nullptr);
    const bool idle[] = {true, false, true, true, true};
    for (size_t i = 0; i < std::size(kFiveControls); ++i)
        EXPECT_EQ(::IsWindowEnabled(run.Item(kFiveControls[i])) != FALSE, idle[i]) << kFiveControls[i];
    EXPECT_EQ(::SendMessageW(run.Item(IDC_FAST_MODE), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(::SendMessageW(run.Item(IDC_STOP_ON_DIFF), BM_GETCHECK, 0, 0), BST_CHECKED);

    HWND hList = run.Item(IDC_RESULT_LIST);
    const struct
    {
        const wchar_t* text;
        int width;
    } columns[] = {{L"ファイル名", 200}, {L"結果", 50}};
    for (int c = 0; c < 2; ++c)
    {
        wchar_t buf[64] = L"";
        LVCOLUMNW col{};
        col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        col.pszText = buf;
        col.cchTextMax = 64;
        ASSERT_TRUE(::SendMessageW(hList, LVM_GETCOLUMNW, c, reinterpret_cast<LPARAM>(&col)));
        EXPECT_EQ(std::wstring(buf), columns[c].text);
        EXPECT_EQ(col.cx, columns[c].width);
        EXPECT_EQ(col.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
    }
    LVCOLUMNW none{};
    none.mask = LVCF_WIDTH;
    EXPECT_FALSE(::SendMessageW(hList, LVM_GETCOLUMNW, 2, reinterpret_cast<LPARAM>(&none)));
    EXPECT_EQ(::SendMessageW(hList, LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(::SendMessageW(hList, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), 0);
    EXPECT_EQ(WindowText(run.Item(IDC_FILE_NAME)), L"");
    EXPECT_EQ(WindowText(run.Item(IDC_MODE)), L"");
    for (int id : {IDC_FILE_PROGRESS, IDC_READ_SRC1, IDC_READ_SRC2, IDC_BUFFER_SRC1, IDC_BUFFER_SRC2, IDC_TOTAL_PROGRESS})
        EXPECT_EQ(::SendMessageW(run.Item(id), PBM_GETPOS, 0, 0), 0) << id;
    EXPECT_GT(TreeView_GetCount(run.Item(IDC_TREE_SRC1)), 0u);
    EXPECT_EQ(TreeView_GetCount(run.Item(IDC_TREE_SRC1)), TreeView_GetCount(run.Item(IDC_TREE_SRC2)));
    EXPECT_TRUE(PumpUntil([&] { return run.Focus() == run.Item(IDC_TREE_SRC1); }));

    // Centred on the work area.
    RECT rc, area;
    ::GetWindowRect(run.hDlg, &rc);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    EXPECT_NEAR((rc.left + rc.right) / 2, (area.left + area.right) / 2, 1);
    EXPECT_NEAR((rc.top + rc.bottom) / 2, (area.top + area.bottom) / 2, 1);
}

TEST(MainDialog, TabVisitsTheEnabledTabStopsInTemplateOrder)
{
    DialogRun run;
    ASSERT_TRUE(PumpUntil([&] { return run.Focus() == run.Item(IDC_TREE_SRC1); }));
    const int order[] = {IDC_TREE_SRC2, IDC_FAST_MODE, IDC_STOP_ON_DIFF, IDC_COMPARE, IDC_EXIT, IDC_TREE_SRC1};
    for (int id : order)
    {
        HWND before = run.Focus();
        run.PressKey(VK_TAB);
        ASSERT_TRUE(PumpUntil([&] { return run.Focus() != before; })) << "focus stuck before " << id;
        EXPECT_EQ(run.Focus(), run.Item(id)) << "expected " << id << ", got " << ::GetDlgCtrlID(run.Focus());
    }
}

TEST(MainDialog, EightToolsCarryTheirMessageIdsAndNoOtherControlHasOne)
{
    DialogRun run;
    HWND hTip = FindThreadWindow(run.tid, TOOLTIPS_CLASSW);
    ASSERT_NE(hTip, nullptr);
    EXPECT_EQ(::GetWindow(hTip, GW_OWNER), run.hDlg);
    EXPECT_EQ(::GetWindowLongW(hTip, GWL_STYLE) & TTS_ALWAYSTIP, 0);
    const struct
    {
        int control;
        UINT text;
        const wchar_t* shown;
    } tools[] = {
        {IDC_FAST_MODE, IDS_TIP_FAST_MODE, L"通常はチェックしてください。"},
        {IDC_STOP_ON_DIFF, IDS_TIP_STOP_ON_DIFF, L"チェックをすると、同名で内容の違うファイルが見つかった時点で処理を中断します。"},
        {IDC_TOTAL_PROGRESS, IDS_TIP_TOTAL, L"全体の進行状況が表示されます。"},
        {IDC_FILE_PROGRESS, IDS_TIP_FILE, L"現在のファイルに対する比較の進行状況です。"},
        {IDC_READ_SRC1, IDS_TIP_READ, L"このファイルの読み出し状況です。"},
        {IDC_BUFFER_SRC1, IDS_TIP_BUFFER, L"使用済みの読み取りバッファの量を表示します。"},
        {IDC_READ_SRC2, IDS_TIP_READ, L"このファイルの読み出し状況です。"},
        {IDC_BUFFER_SRC2, IDS_TIP_BUFFER, L"使用済みの読み取りバッファの量を表示します。"},
    };
    ASSERT_EQ(::SendMessageW(hTip, TTM_GETTOOLCOUNT, 0, 0), static_cast<LRESULT>(std::size(tools)));
    for (size_t i = 0; i < std::size(tools); ++i)
    {
        SCOPED_TRACE(testing::Message() << "tool " << i);
        wchar_t buf[256] = L"";
        TTTOOLINFOW ti{};
        ti.cbSize = TTTOOLINFOW_V2_SIZE;
        ti.lpszText = buf;
        ASSERT_TRUE(::SendMessageW(hTip, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(&ti)));
        EXPECT_EQ(ti.uFlags & (TTF_IDISHWND | TTF_SUBCLASS), static_cast<UINT>(TTF_IDISHWND));
        EXPECT_EQ(ti.hwnd, run.hDlg);
        EXPECT_EQ(reinterpret_cast<HWND>(ti.uId), run.Item(tools[i].control));
        EXPECT_EQ(ti.lpszText, MAKEINTRESOURCEW(tools[i].text));

        // The text the tip shows is loaded from the message table.
        TTTOOLINFOW query{};
        query.cbSize = TTTOOLINFOW_V2_SIZE;
        query.hwnd = run.hDlg;
        query.uId = ti.uId;
        query.lpszText = buf;
        buf[0] = L'\0';
        ::SendMessageW(hTip, TTM_GETTEXTW, std::size(buf), reinterpret_cast<LPARAM>(&query));
        EXPECT_EQ(std::wstring(buf), tools[i].shown);
    }
    for (int id : {IDC_TREE_SRC1, IDC_TREE_SRC2, IDC_RESULT_LIST, IDC_COMPARE, IDC_ABORT, IDC_EXIT, IDC_FILE_NAME, IDC_MODE})
    {
        TTTOOLINFOW ti{};
        ti.cbSize = TTTOOLINFOW_V2_SIZE;
        ti.hwnd = run.hDlg;
        ti.uId = reinterpret_cast<UINT_PTR>(run.Item(id));
        EXPECT_FALSE(::SendMessageW(hTip, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&ti))) << id;
    }
}

TEST(MainDialog, TheMinimisedIconIsCentredRoundingUp)
{
    const POINT pt = CCompareDlg::GetIconPosition(100, 50, 32, 32);
    EXPECT_EQ(pt.x, 34);
    EXPECT_EQ(pt.y, 9);
    const POINT odd = CCompareDlg::GetIconPosition(33, 32, 32, 32);
    EXPECT_EQ(odd.x, 1);
    EXPECT_EQ(odd.y, 0);
}

DWORD WINAPI NoDrives(DWORD, LPWSTR)
{
    return 0;
}

TEST(MainDialog, AnUnreadableDriveListEndsTheDialogBeforeItsLoopWithOneBox)
{
    ImportPatch patch("kernel32.dll", "GetLogicalDriveStringsW", reinterpret_cast<void*>(NoDrives));
    ASSERT_TRUE(patch.Applied());
    DialogRun run(false);
    HWND hBox = run.WaitForBox();
    ASSERT_NE(hBox, nullptr);
    EXPECT_EQ(ReadMessageBox(hBox).text, L"ドライブの検索に失敗しました。");
    PressOk(hBox);
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.result, IDOK);
    EXPECT_EQ(g_nBoxes, 1);
}

TEST(Program, ResourcesCarryTheVersionBlockAndTwoSixteenColourIcons)
{
    const std::wstring exe = ProgramPath();
    DWORD ignored;
    const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    // Explorer's Details tab shows these numbers; they must say what --version and the archive's name say.
    const DWORD majorMinor = MAKELONG(TAVIK_VERSION_MINOR, TAVIK_VERSION_MAJOR);
    EXPECT_EQ(fixed->dwFileVersionMS, majorMinor);
    EXPECT_EQ(fixed->dwProductVersionMS, majorMinor);
    EXPECT_EQ(fixed->dwFileVersionLS | fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    const struct
    {
        const wchar_t *name, *value;
    } strings[] = {{L"FileDescription", L"Tavik"}, {L"FileVersion", L"" TAVIK_VERSION}, {L"InternalName", L"Tavik"},
                   {L"OriginalFilename", L"tavik.ext"}, {L"ProductName", L"Tavik"},
                   {L"ProductVersion", L"" TAVIK_VERSION}, {L"Comments", L""}, {L"CompanyName", L""},
                   {L"LegalTrademarks", L""}, {L"PrivateBuild", L""}, {L"SpecialBuild", L""}};
    for (const auto& s : strings)
    {
        wchar_t* value = nullptr;
        len = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\041104b0\\") + s.name;
        ASSERT_TRUE(::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &len)) << len;
        EXPECT_EQ(std::wstring(value), s.value);
    }
    WORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
    EXPECT_EQ(translation[0], 0x0411);
    EXPECT_EQ(translation[1], 1200);

    HMODULE hProgram = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hProgram, nullptr);
    HRSRC hGroup = ::FindResourceW(hProgram, MAKEINTRESOURCEW(IDR_MAINFRAME), RT_GROUP_ICON);
    ASSERT_NE(hGroup, nullptr);
    auto* dir = static_cast<const BYTE*>(::LockResource(::LoadResource(hProgram, hGroup)));
    const WORD count = *reinterpret_cast<const WORD*>(dir + 4);
    ASSERT_EQ(count, 2);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i)
    {
        const BYTE* entry = dir + 6 + 14 * i;  // width, height, colours, reserved, planes, bit count, bytes, id
        EXPECT_EQ(entry[0], entry[1]);
        EXPECT_EQ(entry[2], 16);
        EXPECT_EQ(*reinterpret_cast<const WORD*>(entry + 6), 4);
        sizes.push_back(entry[0]);
    }
    EXPECT_EQ(sizes, (std::vector<int>{32, 16}));
    ::FreeLibrary(hProgram);
}

struct FindProgramWindow
{
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindProgramProc(HWND hWnd, LPARAM lParam)
{
    auto* args = reinterpret_cast<FindProgramWindow*>(lParam);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hWnd, &pid);
    if (pid == args->pid && WindowText(hWnd) == kCaption && ::IsWindowVisible(hWnd))
    {
        args->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

TEST(Program, StartsShowsBothTreesAndEndsCleanlyOnExit)
{
    const std::wstring cmd = L"\"" + ProgramPath() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(StartProcess(cmd, false, 0, nullptr, si, pi));
    FindProgramWindow find{pi.dwProcessId, nullptr};
    ASSERT_TRUE(PumpUntil([&] {
        find.found = nullptr;
        ::EnumWindows(FindProgramProc, reinterpret_cast<LPARAM>(&find));
        return find.found != nullptr;
    }));
    EXPECT_GT(::SendMessageW(::GetDlgItem(find.found, IDC_TREE_SRC1), TVM_GETCOUNT, 0, 0), 0);
    EXPECT_GT(::SendMessageW(::GetDlgItem(find.found, IDC_TREE_SRC2), TVM_GETCOUNT, 0, 0), 0);
    ::PostMessageW(find.found, WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
    EXPECT_EQ(::WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    DWORD code = 1234;
    ::GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}
}  // namespace

