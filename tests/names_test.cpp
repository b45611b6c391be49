// Names Win32 would rewrite (devices, trailing dots and spaces) and folders far past MAX_PATH, through the real dialog.
#include "DialogHarness.h"
#include <algorithm>

namespace
{
class OddNames : public TwoFoldersOnT
{
protected:
    OddNames() : TwoFoldersOnT(L"names-test") {}

    // Compares the folders selected in both trees with stop-on-difference off; every row must be as wanted.
    void ExpectRows(DialogRun& run, const std::vector<std::pair<std::wstring, std::wstring>>& rows)
    {
        run.SetCheck(IDC_STOP_ON_DIFF, false);
        run.Click(IDC_COMPARE);
        const AnsweredBox box = run.AnswerBox(60000);
        ASSERT_TRUE(box.shown);
        EXPECT_EQ(box.text, L"比較完了");
        std::vector<std::pair<std::wstring, std::wstring>> sorted = rows;
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::wstring> names, verdicts;
        for (const auto& row : sorted)
        {
            names.push_back(row.first);
            verdicts.push_back(row.second);
        }
        EXPECT_EQ(run.Column(0), names);
        EXPECT_EQ(run.Column(1), verdicts);
    }
};

TEST_F(OddNames, DeviceNamesAndTrailingDotsAndSpacesCompareTheFilesOfThoseNames)
{
    const wchar_t kDiffers[] = L"内容が違う", kSame[] = L"同じ";
    std::vector<std::pair<std::wstring, std::wstring>> rows;
    unsigned seed = 1;
    // Same size, other bytes: a device delivers nothing for both and would pass them as the same.
    for (const wchar_t* name : {L"nul.txt", L"CON", L"aux.c", L"com1.log", L"lpt9", L"Nul.tar.gz", L"conin$", L"prn.log",
                                L"COM2.txt", L"CONOUT$"})
    {
        const bool bEqual = ++seed % 3 == 0;
        WriteBytes(root + L"s1\\" + name, Pattern(3000, seed));
        WriteBytes(root + L"s2\\" + name, Pattern(3000, bEqual ? seed : seed + 100));
        rows.push_back({name, bEqual ? kSame : kDiffers});
    }
    // Within each side the four differ from one another; across the sides only "x" and "x " are equal.
    const struct
    {
        const wchar_t* name;
        bool bEqual;
    } twins[] = {{L"x", true}, {L"x.", false}, {L"x ", true}, {L"x..", false}};
    for (const auto& t : twins)
    {
        WriteBytes(root + L"s1\\" + t.name, Pattern(4096, ++seed));
        WriteBytes(root + L"s2\\" + t.name, Pattern(4096, t.bEqual ? seed : seed + 100));
        rows.push_back({t.name, t.bEqual ? kSame : kDiffers});
    }
    for (bool bFast : {true, false})
    {
        SCOPED_TRACE(bFast ? "fast" : "normal");
        DialogRun run;
        run.SetCheck(IDC_FAST_MODE, bFast);
        SelectBoth(run);
        ExpectRows(run, rows);
    }
}

TEST_F(OddNames, FoldersWhoseNamesDifferOnlyByATrailingDotAreTwoFolders)
{
    MakeDir(root + L"s1\\dd");
    MakeDir(root + L"s1\\dd.");
    WriteText(root + L"s1\\dd\\f.txt", "AAAA");
    WriteText(root + L"s1\\dd.\\f.txt", "BBBB");
    WriteText(root + L"s1\\dd.\\only-in-dot.txt", "x");
    DialogRun run;
    run.SelectFolder(IDC_TREE_SRC1, {folder, L"s1", L"dd."});
    run.SelectFolder(IDC_TREE_SRC2, {folder, L"s1", L"dd"});
    ExpectRows(run, {{L"f.txt", L"内容が違う"}, {L"only-in-dot.txt", L"ソース１にのみ存在"}});
}

TEST_F(OddNames, AFolderFortyLevelsDeepExpandsAndItsFilesCompare)
{
    std::vector<std::wstring> path1 = {folder, L"s1"}, path2 = {folder, L"s2"};
    std::wstring deep1 = root + L"s1\\", deep2 = root + L"s2\\";
    for (int i = 0; i < 40; ++i)
    {
        const std::wstring level = L"level-" + std::to_wstring(i) + L"-abcdefgh";
        path1.push_back(level);
        path2.push_back(level);
        MakeDir(deep1 += level + L"\\");
        MakeDir(deep2 += level + L"\\");
    }
    const auto data = Pattern(100000, 9);
    auto other = data;
    other[77777] ^= 1;
    WriteBytes(deep1 + L"equal.bin", data);
    WriteBytes(deep2 + L"equal.bin", data);
    WriteBytes(deep1 + L"differs.bin", data);
    WriteBytes(deep2 + L"differs.bin", other);
    ASSERT_GT((deep1 + L"differs.bin").size(), 600u);
    DialogRun run;
    run.SelectFolder(IDC_TREE_SRC1, path1);
    run.SelectFolder(IDC_TREE_SRC2, path2);
    ExpectRows(run, {{L"equal.bin", L"同じ"}, {L"differs.bin", L"内容が違う"}});
}
TEST(OddNamesFromLinux, ANameHoldingABackslashIsNeverComparedNorAFolderOfItEntered)
{
    // Made from Linux (tests/CMakeLists.txt): in each side "d\\f" (differing), the file f in folder d (equal), and
    // a folder "k\\l". Joined into a path, "d\\f" would be f in d, and "k\\l" folder l in k.
    DialogRun run;
    run.SelectFolder(IDC_TREE_SRC1, {L"odd-names", L"1", L"d"});
    CTreeCtrl tree(run.Item(IDC_TREE_SRC1));
    std::vector<std::wstring> shown;
    for (HTREEITEM h = tree.GetChildItem(tree.GetParentItem(tree.GetSelectedItem())); h; h = TreeView_GetNextSibling(run.Item(IDC_TREE_SRC1), h))
        shown.push_back(std::wstring(tree.GetItemText(h)));
    EXPECT_EQ(shown, std::vector<std::wstring>{L"d"});
    run.SelectFolder(IDC_TREE_SRC1, {L"odd-names", L"1"});
    run.SelectFolder(IDC_TREE_SRC2, {L"odd-names", L"2"});
    run.Click(IDC_COMPARE);
    const AnsweredBox box = run.AnswerBox(60000);
    ASSERT_TRUE(box.shown);
    EXPECT_EQ(box.text, L"ファイル名が長すぎるか無効なため処理を続行できません。");
    EXPECT_EQ(run.RowCount(), 0);
    EXPECT_EQ(run.States(), kIdleState);
}
}  // namespace
