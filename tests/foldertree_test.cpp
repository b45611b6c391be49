// The folder trees on a real tree-view control: drive roots, lazy expansion, re-listing, and the selected folder's files.
#include "CompareDlg.h"
#include "TestSupport.h"
#include <gtest/gtest.h>
#include <algorithm>

namespace
{
// Drive T: is a folder of the test build's own (scripts/lib.sh links it into the Wine prefix).
const std::wstring kDrive = L"T:\\";

// A top-level window holding one tree with the main dialog's styles; it hands expanding notifications to the
// dialog's handler exactly as the dialog's message map does.
class TreeHost
{
public:
    TreeHost()
    {
        static ATOM s_atom;
        if (!s_atom)
        {
            WNDCLASSW wc{};
            wc.lpfnWndProc = WndProc;
            wc.hInstance = ::GetModuleHandleW(nullptr);
            wc.lpszClassName = L"TavikTreeHost";
            s_atom = ::RegisterClassW(&wc);
        }
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_TREEVIEW_CLASSES};
        ::InitCommonControlsEx(&icc);
        m_hWnd = ::CreateWindowExW(0, L"TavikTreeHost", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 300, 300, nullptr, nullptr,
                                   ::GetModuleHandleW(nullptr), this);
        tree = CTreeCtrl(::CreateWindowExW(0, WC_TREEVIEWW, L"Tree1",
                                           WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES |
                                               TVS_LINESATROOT | TVS_SHOWSELALWAYS | TVS_FULLROWSELECT,
                                           0, 0, 280, 280, m_hWnd, reinterpret_cast<HMENU>(IDC_TREE_SRC1),
                                           ::GetModuleHandleW(nullptr), nullptr));
    }
    ~TreeHost() { ::DestroyWindow(m_hWnd); }

    HTREEITEM Root(const std::wstring& text) const { return Child(TVI_ROOT, text); }
    HTREEITEM Child(HTREEITEM parent, const std::wstring& text) const
    {
        HTREEITEM h = parent == TVI_ROOT ? TreeView_GetRoot(tree.m_hWnd) : tree.GetChildItem(parent);
        for (; h; h = TreeView_GetNextSibling(tree.m_hWnd, h))
            if (std::wstring(tree.GetItemText(h)) == text)
                return h;
        return nullptr;
    }
    std::vector<std::wstring> Children(HTREEITEM parent) const
    {
        std::vector<std::wstring> names;
        for (HTREEITEM h = tree.GetChildItem(parent); h; h = TreeView_GetNextSibling(tree.m_hWnd, h))
            names.push_back(std::wstring(tree.GetItemText(h)));
        return names;
    }
    // As the user does it, by keyboard: TVM_EXPAND stays silent once an item has been expanded,
    // while the user's expand and collapse always notify.
    void Expand(HTREEITEM h) const { Key(h, VK_RIGHT); }
    void Collapse(HTREEITEM h) const { Key(h, VK_LEFT); }
    void Key(HTREEITEM h, UINT vk) const
    {
        Select(h);
        ::SendMessageW(tree.m_hWnd, WM_KEYDOWN, vk, 0);
        ::SendMessageW(tree.m_hWnd, WM_KEYUP, vk, 0);
    }
    bool HasButton(HTREEITEM h) const { return tree.ItemHasChildren(h) != FALSE; }
    void Select(HTREEITEM h) const { TreeView_SelectItem(tree.m_hWnd, h); }

    CCompareDlg dlg;
    CTreeCtrl tree;
    int nExpanding = 0;

private:
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        if (uMsg == WM_NCCREATE)
            ::SetWindowLongPtrW(hWnd, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        auto* self = reinterpret_cast<TreeHost*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (uMsg == WM_NOTIFY && self && reinterpret_cast<NMHDR*>(lParam)->code == TVN_ITEMEXPANDINGW)
        {
            ++self->nExpanding;
            LRESULT result = 1;
            self->dlg.ExpandFolderItem(reinterpret_cast<NMHDR*>(lParam), &result, self->tree);
            return result;
        }
        return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
    HWND m_hWnd = nullptr;
};

class FolderTreeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(::GetFileAttributesW(kDrive.c_str()), INVALID_FILE_ATTRIBUTES) << "drive T: is not mapped";
        RemoveTree(root);
        MakeDir(root);
    }
    void TearDown() override { RemoveTree(root); }

    std::wstring Path(const std::wstring& rel) const { return root + rel; }
    // The wanted names (prefixed with prefix) in the order the file system yields them: nothing may sort them.
    std::vector<std::wstring> InNativeOrder(const std::wstring& rel, std::vector<std::wstring> wanted,
                                            const std::wstring& prefix = std::wstring()) const
    {
        std::vector<std::wstring> ordered;
        WIN32_FIND_DATAW fd;
        HANDLE h = ::FindFirstFileW(Literal(Path(rel) + L"*").c_str(), &fd);
        for (BOOL more = h != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(h, &fd))
            if (std::find(wanted.begin(), wanted.end(), fd.cFileName) != wanted.end())
                ordered.push_back(prefix + fd.cFileName);
        if (h != INVALID_HANDLE_VALUE)
            ::FindClose(h);
        EXPECT_EQ(ordered.size(), wanted.size());
        return ordered;
    }
    void Hide(const std::wstring& rel, DWORD attr) const { ::SetFileAttributesW(Path(rel).c_str(), attr); }
    // Selects h and returns the files GetSelectedFolderFiles lists for it, in its order; the list it fills
    // starts with a stale entry, which must be gone.
    std::vector<std::wstring> SelectedFiles(HTREEITEM h)
    {
        host.Select(h);
        CStringList files;
        files.AddTail(L"stale entry");
        EXPECT_TRUE(host.dlg.GetSelectedFolderFiles(files, host.tree));
        std::vector<std::wstring> got;
        for (POSITION pos = files.GetHeadPosition(); pos;)
            got.push_back(std::wstring(files.GetNext(pos)));
        return got;
    }
    // Fills the host's tree with drives and returns T:'s root item.
    HTREEITEM DriveT()
    {
        EXPECT_TRUE(host.dlg.FillDriveTree(host.tree));
        return host.Root(kDrive);
    }

    const std::wstring root = kDrive + L"tree-test\\";
    TreeHost host;
};

TEST_F(FolderTreeTest, DriveRootsAreListedInOrderEachWithAPlaceholder)
{
    ASSERT_TRUE(host.dlg.FillDriveTree(host.tree));
    wchar_t buf[512];
    const DWORD n = ::GetLogicalDriveStringsW(512, buf);
    std::vector<std::wstring> drives;
    for (const wchar_t* p = buf; p < buf + n && *p; p += wcslen(p) + 1)
        drives.push_back(p);
    EXPECT_EQ(host.Children(TVI_ROOT), drives);
    for (const std::wstring& d : drives)
        EXPECT_EQ(host.Children(host.Root(d)), std::vector<std::wstring>{L"*"}) << std::string(d.begin(), d.end());
}

TEST_F(FolderTreeTest, HiddenSystemAndDotEntriesNeverAppearAndButtonsFollowVisibleSubfolders)
{
    for (const wchar_t* d : {L"plain", L"plain\\deep", L"hidden", L"system", L"onlyhidden", L"onlyhidden\\h", L"empty"})
        MakeDir(Path(d));
    WriteText(Path(L"file.txt"), "not a folder");
    Hide(L"hidden", FILE_ATTRIBUTE_HIDDEN);
    Hide(L"system", FILE_ATTRIBUTE_SYSTEM);
    Hide(L"onlyhidden\\h", FILE_ATTRIBUTE_HIDDEN);

    HTREEITEM t = DriveT();
    host.Expand(t);
    HTREEITEM test = host.Child(t, L"tree-test");
    ASSERT_NE(test, nullptr);
    host.Expand(test);
    EXPECT_EQ(host.Children(test), InNativeOrder(L"", {L"empty", L"onlyhidden", L"plain"}));
    EXPECT_TRUE(host.HasButton(host.Child(test, L"plain")));
    EXPECT_FALSE(host.HasButton(host.Child(test, L"onlyhidden")));
    EXPECT_FALSE(host.HasButton(host.Child(test, L"empty")));
    // The placeholder is replaced within the expanding notification itself.
    host.Expand(host.Child(test, L"plain"));
    EXPECT_EQ(host.Children(host.Child(test, L"plain")), std::vector<std::wstring>{L"deep"});
}

TEST_F(FolderTreeTest, ADriveRootIsListedAfreshOnEveryExpandOrCollapse)
{
    MakeDir(Path(L"a"));
    MakeDir(Path(L"a\\inner"));
    HTREEITEM t = DriveT();
    host.Expand(t);
    HTREEITEM test = host.Child(t, L"tree-test");
    host.Expand(test);
    host.Expand(host.Child(test, L"a"));
    EXPECT_EQ(host.Children(host.Child(test, L"a")), std::vector<std::wstring>{L"inner"});

    MakeDir(Path(L"b"));
    const int before = host.nExpanding;
    host.Collapse(t);
    host.Expand(t);
    EXPECT_EQ(host.nExpanding, before + 2);
    test = host.Child(t, L"tree-test");
    ASSERT_NE(test, nullptr);
    // Deeper expansions come back collapsed, with their placeholder again.
    EXPECT_EQ(host.Children(test), std::vector<std::wstring>{L"*"});
    host.Expand(test);
    EXPECT_EQ(host.Children(test), InNativeOrder(L"", {L"a", L"b"}));
    EXPECT_EQ(host.Children(host.Child(test, L"a")), std::vector<std::wstring>{L"*"});
}

TEST_F(FolderTreeTest, AFolderKeepsItsFirstListingAndLosesItsButtonWhenItVanishes)
{
    MakeDir(Path(L"keep"));
    MakeDir(Path(L"keep\\one"));
    MakeDir(Path(L"gone"));
    MakeDir(Path(L"gone\\child"));
    HTREEITEM t = DriveT();
    host.Expand(t);
    HTREEITEM test = host.Child(t, L"tree-test");
    host.Expand(test);
    HTREEITEM keep = host.Child(test, L"keep");
    host.Expand(keep);
    MakeDir(Path(L"keep\\two"));
    host.Collapse(keep);
    host.Expand(keep);
    EXPECT_EQ(host.Children(keep), std::vector<std::wstring>{L"one"});

    HTREEITEM gone = host.Child(test, L"gone");
    EXPECT_TRUE(host.HasButton(gone));
    RemoveTree(Path(L"gone"));
    host.Expand(gone);
    EXPECT_FALSE(host.HasButton(gone));
    host.Select(gone);
    CStringList files;
    EXPECT_TRUE(host.dlg.GetSelectedFolderFiles(files, host.tree));
    EXPECT_TRUE(files.IsEmpty());
}

TEST_F(FolderTreeTest, TheSelectedFolderYieldsItsVisiblePlainFilesOnly)
{
    MakeDir(Path(L"sub"));
    WriteText(Path(L"sub\\nested.txt"), "n");
    for (const wchar_t* f : {L"plain.txt", L"readonly.txt", L"hidden.txt", L"system.txt", L"photo[1].jpg"})
        WriteText(Path(f), "x");
    Hide(L"readonly.txt", FILE_ATTRIBUTE_READONLY);
    Hide(L"hidden.txt", FILE_ATTRIBUTE_HIDDEN);
    Hide(L"system.txt", FILE_ATTRIBUTE_SYSTEM);

    HTREEITEM t = DriveT();
    host.Expand(t);
    HTREEITEM test = host.Child(t, L"tree-test");
    EXPECT_EQ(SelectedFiles(test), InNativeOrder(L"", {L"photo[1].jpg", L"plain.txt", L"readonly.txt"}, root));
    Hide(L"readonly.txt", FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FolderTreeTest, ASelectedDriveRootGivesPathsWithOneBackslash)
{
    WriteText(kDrive + L"at-root.txt", "r");
    HTREEITEM t = DriveT();
    host.Select(t);
    EXPECT_EQ(std::wstring(host.dlg.GetItemPath(host.tree, t)), kDrive);
    CStringList files;
    ASSERT_TRUE(host.dlg.GetSelectedFolderFiles(files, host.tree));
    bool found = false;
    for (POSITION pos = files.GetHeadPosition(); pos;)
    {
        const std::wstring f(files.GetNext(pos));
        EXPECT_EQ(f.find(L"\\\\"), std::wstring::npos) << std::string(f.begin(), f.end());
        found |= f == kDrive + L"at-root.txt";
    }
    EXPECT_TRUE(found);
    ::DeleteFileW((kDrive + L"at-root.txt").c_str());
}

TEST_F(FolderTreeTest, NoSelectionGivesFalseAndAnEmptiedList)
{
    DriveT();
    TreeView_SelectItem(host.tree.m_hWnd, nullptr);
    CStringList files;
    files.AddTail(L"stale");
    EXPECT_FALSE(host.dlg.GetSelectedFolderFiles(files, host.tree));
    EXPECT_TRUE(files.IsEmpty());
}

// Wine sorts every directory listing, so unsorted order cannot be seen on its drives: these stand-ins for the
// search functions yield each listing backwards, and whatever the trees show must come in that order.
struct ReversedSearch
{
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

// This executable's own calls go through the replaced imports; the real functions are taken from kernel32.
template <typename F>
F Real(const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

HANDLE WINAPI ReversedFindFirst(LPCWSTR pszPattern, LPWIN32_FIND_DATAW pData)
{
    auto* search = new ReversedSearch;
    WIN32_FIND_DATAW fd;
    HANDLE h = Real<HANDLE(WINAPI*)(LPCWSTR, LPWIN32_FIND_DATAW)>("FindFirstFileW")(pszPattern, &fd);
    const auto pfnNext = Real<BOOL(WINAPI*)(HANDLE, LPWIN32_FIND_DATAW)>("FindNextFileW");
    for (BOOL more = h != INVALID_HANDLE_VALUE; more; more = pfnNext(h, &fd))
        search->entries.insert(search->entries.begin(), fd);
    if (h != INVALID_HANDLE_VALUE)
        Real<BOOL(WINAPI*)(HANDLE)>("FindClose")(h);
    if (search->entries.empty())
    {
        delete search;
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *pData = search->entries[search->next++];
    return reinterpret_cast<HANDLE>(search);
}

BOOL WINAPI ReversedFindNext(HANDLE h, LPWIN32_FIND_DATAW pData)
{
    auto* search = reinterpret_cast<ReversedSearch*>(h);
    if (search->next == search->entries.size())
    {
        ::SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *pData = search->entries[search->next++];
    return TRUE;
}

BOOL WINAPI ReversedFindClose(HANDLE h)
{
    delete reinterpret_cast<ReversedSearch*>(h);
    return TRUE;
}

TEST_F(FolderTreeTest, FoldersAndFilesComeInTheFileSystemsOrderUnsorted)
{
    std::vector<std::wstring> folders, files;
    for (int i = 0; i < 30; ++i)
    {
        folders.push_back(L"folder-" + std::to_wstring((i * 7) % 30));
        files.push_back(L"file-" + std::to_wstring((i * 11) % 30) + L".txt");
        MakeDir(Path(folders.back()));
        WriteText(Path(files.back()), "f");
    }
    HTREEITEM t = DriveT();
    host.Expand(t);
    HTREEITEM test = host.Child(t, L"tree-test");
    ImportPatch first("kernel32.dll", "FindFirstFileW", reinterpret_cast<void*>(ReversedFindFirst));
    ImportPatch next("kernel32.dll", "FindNextFileW", reinterpret_cast<void*>(ReversedFindNext));
    ImportPatch close("kernel32.dll", "FindClose", reinterpret_cast<void*>(ReversedFindClose));
    ASSERT_TRUE(first.Applied() && next.Applied() && close.Applied());
    const std::vector<std::wstring> native = InNativeOrder(L"", folders);
    std::vector<std::wstring> sorted = native;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_NE(native, sorted);

    host.Expand(test);
    EXPECT_EQ(host.Children(test), native);
    EXPECT_EQ(SelectedFiles(test), InNativeOrder(L"", files, root));
}

TEST_F(FolderTreeTest, AFolderFortyLevelsDeepExpandsListsAndYieldsItsFiles)
{
    // Past MAX_PATH many times over: each level has a button, and the deepest folder gives its file's full path.
    std::wstring rel;
    for (int i = 0; i < 40; ++i)
    {
        rel += L"level-" + std::to_wstring(i) + L"-abcdefgh\\";
        MakeDir(Path(rel));
    }
    WriteText(Path(rel + L"deep.txt"), "deep");
    ASSERT_GT(Path(rel + L"deep.txt").size(), 600u);

    HTREEITEM h = DriveT();
    host.Expand(h);
    h = host.Child(h, L"tree-test");
    for (int i = 0; i < 40; ++i)
    {
        ASSERT_NE(h, nullptr) << "level " << i;
        ASSERT_TRUE(host.HasButton(h)) << "level " << i;
        host.Expand(h);
        h = host.Child(h, L"level-" + std::to_wstring(i) + L"-abcdefgh");
    }
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(host.HasButton(h));
    EXPECT_EQ(std::wstring(host.dlg.GetItemPath(host.tree, h)), Path(rel));
    EXPECT_EQ(SelectedFiles(h), std::vector<std::wstring>{Path(rel + L"deep.txt")});
}

TEST_F(FolderTreeTest, AFolderWhoseNameEndsInADotListsItselfAndNotItsTwin)
{
    for (const wchar_t* d : {L"dd", L"dd\\in-dd", L"dd.", L"dd.\\in-dd-dot", L"dd.\\in-dd-dot\\more", L"sp ", L"sp \\in-sp"})
        MakeDir(Path(d));
    WriteText(Path(L"dd\\file-of-dd.txt"), "a");
    WriteText(Path(L"dd.\\file-of-dd-dot.txt"), "b");

    HTREEITEM t = DriveT();
    host.Expand(t);
    HTREEITEM test = host.Child(t, L"tree-test");
    host.Expand(test);
    const struct
    {
        const wchar_t* folder;
        std::vector<std::wstring> children;
        std::vector<std::wstring> files;
        bool button;
    } cases[] = {
        {L"dd", {L"in-dd"}, {L"file-of-dd.txt"}, false},
        {L"dd.", {L"in-dd-dot"}, {L"file-of-dd-dot.txt"}, true},
        {L"sp ", {L"in-sp"}, {}, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "\"" << std::string(c.folder, c.folder + wcslen(c.folder)) << "\"");
        HTREEITEM h = host.Child(test, c.folder);
        ASSERT_NE(h, nullptr);
        host.Expand(h);
        EXPECT_EQ(host.Children(h), c.children);
        // The probe of each child looked into the right folder too: only "in-dd-dot" has a subfolder.
        EXPECT_EQ(host.HasButton(host.Child(h, c.children[0])) != FALSE, c.button);
        std::vector<std::wstring> want;
        for (const std::wstring& f : c.files)
            want.push_back(Path(std::wstring(c.folder) + L"\\" + f));
        EXPECT_EQ(SelectedFiles(h), want);
    }
}

DWORD WINAPI NoDriveList(DWORD, LPWSTR)
{
    return 0;
}

DWORD WINAPI GrowingDriveList(DWORD nLength, LPWSTR pBuffer)
{
    // Reports one drive when asked for the size, then more than fits: a drive appeared in between.
    if (nLength == 0)
        return 5;
    if (pBuffer && nLength > 0)
        pBuffer[0] = L'\0';
    return nLength + 4;
}

DWORD WINAPI EmptyDriveList(DWORD nLength, LPWSTR pBuffer)
{
    if (nLength >= 1 && pBuffer)
        pBuffer[0] = L'\0';
    return 1;
}

TEST_F(FolderTreeTest, AnUnreadableDriveListIsReportedOnceAndLeavesTheTreeEmpty)
{
    for (auto fake : {NoDriveList, GrowingDriveList})
    {
        ImportPatch patch("kernel32.dll", "GetLogicalDriveStringsW", reinterpret_cast<void*>(fake));
        ASSERT_TRUE(patch.Applied());
        int result = -1;
        const AnsweredBox box = AnswerMessageBox([&] { result = host.dlg.FillDriveTree(host.tree) ? 1 : 0; });
        ASSERT_TRUE(box.shown);
        EXPECT_EQ(box.text, L"ドライブの検索に失敗しました。");
        EXPECT_EQ(box.hIcon, ::LoadIconW(nullptr, IDI_EXCLAMATION));
        EXPECT_EQ(result, 0);
        EXPECT_EQ(TreeView_GetCount(host.tree.m_hWnd), 0u);
    }
    ImportPatch patch("kernel32.dll", "GetLogicalDriveStringsW", reinterpret_cast<void*>(EmptyDriveList));
    EXPECT_TRUE(host.dlg.FillDriveTree(host.tree));
    EXPECT_EQ(TreeView_GetCount(host.tree.m_hWnd), 0u);
}
}  // namespace
