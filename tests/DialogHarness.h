// The real main dialog on a user-interface thread of its own, driven from the test's thread by several test programs.
#pragma once
#include "CompareDlg.h"
#include "TestSupport.h"
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern const wchar_t kDialogCaption[];
// Compare, Abort, Exit, fast mode, stop on difference: the controls the user acts on, in this order.
extern const int kFiveControls[5];
extern const std::vector<bool> kIdleState;
extern const std::vector<bool> kRunningState;
extern const std::vector<bool> kDisabledState;

// What the dialog's thread did that the test cannot see afterwards: message boxes created, and at the moment the
// dialog window was destroyed (before its destroy handler ran) the five controls' states and the engine's.
extern std::atomic<int> g_nBoxes;
extern std::vector<bool> g_enabledAtDestroy;
extern std::atomic<bool> g_bStoppedAtDestroy;
// Progress notices the dialog's thread took from its queue.
extern std::atomic<int> g_nProgressTaken;

// One message that the dialog's thread sent to one of the dialog's controls.
struct ControlMessage
{
    int nId;
    UINT uMsg;
    WPARAM wParam;
    LPARAM lParam;
    int nSubItem;       // LVM_SETITEMTEXTW
    std::wstring text;  // WM_SETTEXT, LVM_INSERTITEMW, LVM_SETITEMTEXTW
};

// Runs the production modal loop of a CCompareDlg on a user-interface thread of its own.
class DialogRun
{
public:
    explicit DialogRun(bool bWaitForWindow = true);
    ~DialogRun();
    DialogRun(const DialogRun&) = delete;
    DialogRun& operator=(const DialogRun&) = delete;

    HWND Item(int id) const { return ::GetDlgItem(hDlg, id); }
    HWND Focus() const;
    bool WaitDone(DWORD timeoutMs = 30000);
    // A message box of the dialog's thread: its caption is the test program's name.
    HWND FindBox() const;
    HWND WaitForBox(DWORD timeoutMs = 30000) const;
    // Reads the box that comes next, presses OK and waits until it is gone; shown is false when none came.
    AnsweredBox AnswerBox(DWORD timeoutMs = 30000) const;
    void Click(int id) const;
    void PressKey(UINT vk) const;
    // Selects the folder at the path below drive T: in a tree, expanding each level as the user does.
    void SelectFolder(int treeId, const std::vector<std::wstring>& path) const;
    void SetCheck(int id, bool bChecked) const;
    // Enabled or not, for the five controls.
    std::vector<bool> States() const;
    bool WaitForStates(const std::vector<bool>& states, DWORD timeoutMs = 30000) const;
    int Pos(int barId) const;
    std::pair<int, int> Range(int barId) const;
    int RowCount() const;
    std::wstring Row(int row, int column) const;
    std::vector<std::wstring> Column(int column) const;
    // Runs fn on the dialog's thread between two of its messages (also inside a message box's loop).
    void OnUi(const std::function<void()>& fn) const;
    // Returns once the dialog's thread has taken every message posted to it before.
    bool Sync() const;
    // What the dialog's thread sent to its controls since the last ClearLog.
    std::vector<ControlMessage> Log() const;
    void ClearLog() const;

    CCompareDlg dlg;
    std::atomic<DWORD> tid{0};
    std::atomic<INT_PTR> result{-1};
    std::atomic<bool> done{false};
    HWND hDlg = nullptr;

private:
    std::thread m_thread;
};

std::wstring RowText(HWND hList, int row, int column);
// Caption of every message box: the program's name.
std::wstring ProgramName();

// Folders s1 and s2 under a folder of drive T: (the test build's own drive), removed afterwards.
class TwoFoldersOnT : public ::testing::Test
{
protected:
    explicit TwoFoldersOnT(const wchar_t* name) : folder(name), root(std::wstring(L"T:\\") + name + L"\\") {}
    void SetUp() override;
    void TearDown() override;
    // Selects s1 and s2 in the two trees.
    void SelectBoth(const DialogRun& run) const;
    const std::wstring folder;
    const std::wstring root;
};
