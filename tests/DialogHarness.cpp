// The dialog harness: the modal loop on its own thread, hooks that watch that thread, and helpers to read controls.
#include "DialogHarness.h"
#include <cstdio>
#include <cstdlib>
#include <mutex>

const wchar_t kDialogCaption[] = L"Tavik Ver0.10β";
const int kFiveControls[5] = {IDC_COMPARE, IDC_ABORT, IDC_EXIT, IDC_FAST_MODE, IDC_STOP_ON_DIFF};
const std::vector<bool> kIdleState = {true, false, true, true, true};
const std::vector<bool> kRunningState = {false, true, false, false, false};
const std::vector<bool> kDisabledState = {false, false, false, false, false};

std::atomic<int> g_nBoxes;
std::vector<bool> g_enabledAtDestroy;
std::atomic<bool> g_bStoppedAtDestroy;
std::atomic<int> g_nProgressTaken;

namespace
{
std::atomic<HWND> g_hDialog;
std::atomic<CCompareDlg*> g_pDlg;
std::atomic<int> g_nSynced;
const UINT g_uRunMsg = ::RegisterWindowMessageW(L"TavikTestRunOnUi");
const UINT g_uSyncMsg = ::RegisterWindowMessageW(L"TavikTestSync");
std::mutex g_logLock;
std::vector<ControlMessage> g_log;

LRESULT CALLBACK CbtProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode == HCBT_CREATEWND)
    {
        auto* cbt = reinterpret_cast<CBT_CREATEWNDW*>(lParam);
        // Message boxes are dialogs too; only the main dialog carries the program's caption.
        if (cbt->lpcs->lpszClass == WC_DIALOG)
        {
            if (cbt->lpcs->lpszName && std::wstring(cbt->lpcs->lpszName) == kDialogCaption)
                g_hDialog = reinterpret_cast<HWND>(wParam);
            else
                ++g_nBoxes;
        }
    }
    else if (nCode == HCBT_DESTROYWND && reinterpret_cast<HWND>(wParam) == g_hDialog.load())
    {
        g_enabledAtDestroy.clear();
        for (int id : kFiveControls)
            g_enabledAtDestroy.push_back(::IsWindowEnabled(::GetDlgItem(g_hDialog, id)) != FALSE);
        g_bStoppedAtDestroy = g_pDlg.load()->m_engine.IsStopped();
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}

bool IsLogged(UINT uMsg)
{
    switch (uMsg)
    {
    case PBM_SETPOS:
    case PBM_SETRANGE32:
    case WM_SETTEXT:
    case WM_SETREDRAW:
    case LVM_INSERTITEMW:
    case LVM_SETITEMTEXTW:
    case LVM_DELETEALLITEMS:
        return true;
    default:
        return false;
    }
}

// Sent messages, the dialog's own sends to its controls included, pass here before the window procedure.
LRESULT CALLBACK CallWndProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    const auto* cwp = reinterpret_cast<const CWPSTRUCT*>(lParam);
    HWND hDialog = g_hDialog;
    if (nCode == HC_ACTION && hDialog)
    {
        if (cwp->message == g_uRunMsg && cwp->hwnd == hDialog)
            (*reinterpret_cast<const std::function<void()>*>(cwp->lParam))();
        // GetParent would also name the dialog for the message boxes it owns.
        else if (IsLogged(cwp->message) && ::GetAncestor(cwp->hwnd, GA_PARENT) == hDialog)
        {
            ControlMessage m{::GetDlgCtrlID(cwp->hwnd), cwp->message, cwp->wParam, cwp->lParam, 0, L""};
            if (cwp->message == WM_SETTEXT && cwp->lParam)
                m.text = reinterpret_cast<const wchar_t*>(cwp->lParam);
            else if (cwp->message == LVM_INSERTITEMW || cwp->message == LVM_SETITEMTEXTW)
            {
                const auto* item = reinterpret_cast<const LVITEMW*>(cwp->lParam);
                m.nSubItem = item->iSubItem;
                if (item->pszText && item->pszText != LPSTR_TEXTCALLBACKW)
                    m.text = item->pszText;
                if (cwp->message == LVM_INSERTITEMW)
                    m.wParam = static_cast<WPARAM>(item->iItem);
            }
            std::lock_guard<std::mutex> lock(g_logLock);
            g_log.push_back(m);
        }
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}

// Posted messages pass here when the thread takes them from its queue.
LRESULT CALLBACK GetMsgProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    const auto* msg = reinterpret_cast<const MSG*>(lParam);
    if (nCode == HC_ACTION && wParam == PM_REMOVE)
    {
        if (msg->message == WM_COMPARE_NOTIFY && msg->wParam == 1)
            ++g_nProgressTaken;
        else if (msg->message == g_uSyncMsg)
            ++g_nSynced;
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}
}

DialogRun::DialogRun(bool bWaitForWindow)
{
    g_nBoxes = 0;
    g_nProgressTaken = 0;
    g_hDialog = nullptr;
    g_pDlg = &dlg;
    g_enabledAtDestroy.clear();
    g_bStoppedAtDestroy = false;
    ClearLog();
    m_thread = std::thread([this] {
        const DWORD id = ::GetCurrentThreadId();
        HHOOK hCbt = ::SetWindowsHookExW(WH_CBT, CbtProc, nullptr, id);
        HHOOK hCall = ::SetWindowsHookExW(WH_CALLWNDPROC, CallWndProc, nullptr, id);
        HHOOK hGet = ::SetWindowsHookExW(WH_GETMESSAGE, GetMsgProc, nullptr, id);
        tid = id;
        result = dlg.DoModal();
        ::UnhookWindowsHookEx(hGet);
        ::UnhookWindowsHookEx(hCall);
        ::UnhookWindowsHookEx(hCbt);
        done = true;
    });
    PumpUntil([&] { return tid != 0; });
    if (bWaitForWindow)
        hDlg = WaitForThreadWindow(tid, L"#32770", kDialogCaption);
}

DialogRun::~DialogRun()
{
    // After a failed assertion a message box may still be open, and its loop would keep the thread alive:
    // answer every box until the dialog has ended, so a failing test fails instead of hanging.
    if (!done && hDlg)
        ::PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    const bool bEnded = PumpUntil([&] {
        if (HWND hBox = FindBox())
            PressOk(hBox);
        return done.load();
    });
    if (!bEnded)
    {
        std::fprintf(stderr, "the dialog did not end\n");
        std::abort();
    }
    m_thread.join();
    g_hDialog = nullptr;
    g_pDlg = nullptr;
}

HWND DialogRun::Focus() const
{
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    ::GetGUIThreadInfo(tid, &gti);
    return gti.hwndFocus;
}

bool DialogRun::WaitDone(DWORD timeoutMs)
{
    return PumpUntil([&] { return done.load(); }, timeoutMs);
}

HWND DialogRun::FindBox() const
{
    return FindThreadWindow(tid, L"#32770", ProgramName().c_str());
}

HWND DialogRun::WaitForBox(DWORD timeoutMs) const
{
    return WaitForThreadWindow(tid, L"#32770", ProgramName().c_str(), timeoutMs);
}

AnsweredBox DialogRun::AnswerBox(DWORD timeoutMs) const
{
    AnsweredBox box;
    HWND hBox = WaitForBox(timeoutMs);
    if (!hBox)
        return box;
    static_cast<MessageBoxInfo&>(box) = ReadMessageBox(hBox);
    box.shown = true;
    PressOk(hBox);
    PumpUntil([&] { return !::IsWindow(hBox); });
    return box;
}

void DialogRun::Click(int id) const
{
    ::PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Item(id)));
}

void DialogRun::PressKey(UINT vk) const
{
    ::PostMessageW(Focus(), WM_KEYDOWN, vk, 0);
}

void DialogRun::SelectFolder(int treeId, const std::vector<std::wstring>& path) const
{
    HWND hTree = Item(treeId);
    CTreeCtrl tree(hTree);
    HTREEITEM h = TreeView_GetRoot(hTree);
    while (h && std::wstring(tree.GetItemText(h)) != L"T:\\")
        h = TreeView_GetNextSibling(hTree, h);
    for (const std::wstring& name : path)
    {
        TreeView_SelectItem(hTree, h);
        ::SendMessageW(hTree, WM_KEYDOWN, VK_RIGHT, 0);
        h = tree.GetChildItem(h);
        while (h && std::wstring(tree.GetItemText(h)) != name)
            h = TreeView_GetNextSibling(hTree, h);
    }
    TreeView_SelectItem(hTree, h);
}

void DialogRun::SetCheck(int id, bool bChecked) const
{
    ::SendMessageW(Item(id), BM_SETCHECK, bChecked ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::vector<bool> DialogRun::States() const
{
    std::vector<bool> states;
    for (int id : kFiveControls)
        states.push_back(::IsWindowEnabled(Item(id)) != FALSE);
    return states;
}

bool DialogRun::WaitForStates(const std::vector<bool>& states, DWORD timeoutMs) const
{
    return PumpUntil([&] { return States() == states; }, timeoutMs);
}

int DialogRun::Pos(int barId) const
{
    return static_cast<int>(::SendMessageW(Item(barId), PBM_GETPOS, 0, 0));
}

std::pair<int, int> DialogRun::Range(int barId) const
{
    PBRANGE range{};
    ::SendMessageW(Item(barId), PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    return {range.iLow, range.iHigh};
}

int DialogRun::RowCount() const
{
    return static_cast<int>(::SendMessageW(Item(IDC_RESULT_LIST), LVM_GETITEMCOUNT, 0, 0));
}

std::wstring DialogRun::Row(int row, int column) const
{
    return RowText(Item(IDC_RESULT_LIST), row, column);
}

std::vector<std::wstring> DialogRun::Column(int column) const
{
    std::vector<std::wstring> texts;
    for (int i = 0, n = RowCount(); i < n; ++i)
        texts.push_back(Row(i, column));
    return texts;
}

void DialogRun::OnUi(const std::function<void()>& fn) const
{
    ::SendMessageW(hDlg, g_uRunMsg, 0, reinterpret_cast<LPARAM>(&fn));
}

bool DialogRun::Sync() const
{
    const int before = g_nSynced;
    ::PostMessageW(hDlg, g_uSyncMsg, 0, 0);
    return PumpUntil([&] { return g_nSynced > before; });
}

std::vector<ControlMessage> DialogRun::Log() const
{
    std::lock_guard<std::mutex> lock(g_logLock);
    return g_log;
}

void DialogRun::ClearLog() const
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_log.clear();
}

std::wstring RowText(HWND hList, int row, int column)
{
    wchar_t buf[256] = L"";
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buf;
    item.cchTextMax = 256;
    ::SendMessageW(hList, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return buf;
}

std::wstring ProgramName()
{
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path);
    name = name.substr(name.find_last_of(L'\\') + 1);
    return name.substr(0, name.find_last_of(L'.'));
}

void TwoFoldersOnT::SetUp()
{
    ASSERT_NE(::GetFileAttributesW(L"T:\\"), INVALID_FILE_ATTRIBUTES) << "drive T: is not mapped";
    RemoveTree(root);
    MakeDir(root);
    MakeDir(root + L"s1");
    MakeDir(root + L"s2");
}

void TwoFoldersOnT::TearDown()
{
    RemoveTree(root);
}

void TwoFoldersOnT::SelectBoth(const DialogRun& run) const
{
    run.SelectFolder(IDC_TREE_SRC1, {folder, L"s1"});
    run.SelectFolder(IDC_TREE_SRC2, {folder, L"s2"});
}
