// The file pair list: merging, ordering by code unit, replacement, bounds, and the bad-name path with its real message box.
#include "CompareDlg.h"
#include "FilePairList.h"
#include "TestSupport.h"
#include "UserException.h"
#include <gtest/gtest.h>

namespace
{
struct Row
{
    std::wstring name, path1, path2;
    bool operator==(const Row& o) const { return name == o.name && path1 == o.path1 && path2 == o.path2; }
};

std::ostream& operator<<(std::ostream& os, const Row& r)
{
    auto narrow = [](const std::wstring& s) {
        std::string out;
        for (wchar_t c : s)
            out += c < 128 ? static_cast<char>(c) : '?';
        return out;
    };
    return os << "{" << narrow(r.name) << ", " << narrow(r.path1) << ", " << narrow(r.path2) << "}";
}

std::vector<Row> Rows(const CFilePairList& list)
{
    std::vector<Row> rows;
    for (int i = 0; i < list.GetCount(); ++i)
        rows.push_back({std::wstring(list.GetEntry(i, 0)), std::wstring(list.GetEntry(i, 1)), std::wstring(list.GetEntry(i, 2))});
    return rows;
}

TEST(FilePairList, MergesBothSidesIntoNameSortedPairs)
{
    CFilePairList list;
    list.AddFile(L"C:\\one\\b.txt", 1);
    list.AddFile(L"C:\\two\\a.txt", 2);
    list.AddFile(L"C:\\two\\b.txt", 2);
    list.AddFile(L"C:\\one\\c.txt", 1);
    EXPECT_EQ(Rows(list), (std::vector<Row>{{L"a.txt", L"", L"C:\\two\\a.txt"},
                                            {L"b.txt", L"C:\\one\\b.txt", L"C:\\two\\b.txt"},
                                            {L"c.txt", L"C:\\one\\c.txt", L""}}));
}

TEST(FilePairList, OrdersByCodeUnitAndKeepsCaseDifferentNamesApart)
{
    CFilePairList list;
    for (const wchar_t* name : {L"a.txt", L"Z", L"B.txt", L"a", L"ソース.txt", L"\xD83D\xDE00.txt", L"\xFF21.txt"})
        list.AddFile((std::wstring(L"C:\\s1\\") + name).c_str(), 1);
    list.AddFile(L"C:\\s1\\A.TXT", 1);
    list.AddFile(L"C:\\s2\\a.txt", 2);
    std::vector<std::wstring> names;
    for (const Row& r : Rows(list))
        names.push_back(r.name);
    // U+1F600 is stored as D83D DE00: it sorts by that first unit, before U+FF21 and after katakana.
    EXPECT_EQ(names, (std::vector<std::wstring>{L"A.TXT", L"B.txt", L"Z", L"a", L"a.txt", L"ソース.txt",
                                                L"\xD83D\xDE00.txt", L"\xFF21.txt"}));
    EXPECT_EQ(std::wstring(list.GetEntry(0, 2)), L"");  // A.TXT only in source 1
    EXPECT_EQ(std::wstring(list.GetEntry(4, 2)), L"C:\\s2\\a.txt");
}

TEST(FilePairList, TheNameIsTheWholeFinalComponentExtensionIncluded)
{
    CFilePairList list;
    list.AddFile(L"C:\\s1\\report.doc", 1);
    list.AddFile(L"C:\\s1\\report.pdf", 1);
    list.AddFile(L"C:\\s2\\report.doc", 2);
    list.AddFile(L"C:\\s1\\photo[1].jpg", 1);
    list.AddFile(L"C:\\s2\\photo[1].jpg", 2);
    EXPECT_EQ(Rows(list), (std::vector<Row>{{L"photo[1].jpg", L"C:\\s1\\photo[1].jpg", L"C:\\s2\\photo[1].jpg"},
                                            {L"report.doc", L"C:\\s1\\report.doc", L"C:\\s2\\report.doc"},
                                            {L"report.pdf", L"C:\\s1\\report.pdf", L""}}));
}

TEST(FilePairList, ASecondPathOfTheSameNameOnTheSameSideReplacesTheFirst)
{
    CFilePairList list;
    list.AddFile(L"C:\\s2\\x.bin", 2);
    list.AddFile(L"C:\\s1\\x.bin", 1);
    list.AddFile(L"D:\\other\\x.bin", 1);
    EXPECT_EQ(Rows(list), (std::vector<Row>{{L"x.bin", L"D:\\other\\x.bin", L"C:\\s2\\x.bin"}}));
}

TEST(FilePairList, EntriesOutsideTheListAreEmptyAndRemoveAllEmptiesIt)
{
    CFilePairList list;
    list.AddFile(L"C:\\s1\\a", 1);
    list.AddFile(L"C:\\s1\\b", 1);
    for (int column = 0; column < 3; ++column)
    {
        EXPECT_TRUE(list.GetEntry(-1, column).IsEmpty());
        EXPECT_TRUE(list.GetEntry(list.GetCount(), column).IsEmpty());
    }
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0);
    for (int column = 0; column < 3; ++column)
        EXPECT_TRUE(list.GetEntry(0, column).IsEmpty());
    list.AddFile(L"C:\\s2\\c", 2);
    EXPECT_EQ(Rows(list), (std::vector<Row>{{L"c", L"", L"C:\\s2\\c"}}));
}

TEST(FilePairList, APathWithoutANameIsReportedAndKeepsThePairsAddedBefore)
{
    for (const wchar_t* bad : {L"", L"C:\\folder\\"})
    {
        CFilePairList list;
        list.AddFile(L"C:\\s1\\kept1", 1);
        list.AddFile(L"C:\\s2\\kept2", 2);
        bool threw = false;
        const AnsweredBox box = AnswerMessageBox([&] {
            try
            {
                list.AddFile(bad, 2);
            }
            catch (const CUserException&)
            {
                threw = true;
            }
        });
        ASSERT_TRUE(box.shown);
        EXPECT_EQ(box.text, L"ファイル名が長すぎるか無効なため処理を続行できません。");
        EXPECT_EQ(box.hIcon, ::LoadIconW(nullptr, IDI_EXCLAMATION));
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_TRUE(threw);
        EXPECT_EQ(Rows(list), (std::vector<Row>{{L"kept1", L"C:\\s1\\kept1", L""}, {L"kept2", L"", L"C:\\s2\\kept2"}}));
    }
}
}  // namespace
