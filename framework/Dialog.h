// CDialog: a modal dialog from a resource template, with a message map and the framework's OK / Cancel handling.
#pragma once
#include "Wnd.h"

class CDialog : public CWnd
{
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the dialog, runs the modal loop until EndDialog and destroys the window; returns the end code.
    INT_PTR DoModal();
    void EndDialog(int nResult);

    virtual BOOL OnInitDialog();
    // Lets the dialog manager handle keyboard navigation for the dialog's own messages.
    virtual BOOL PreTranslateMessage(MSG* pMsg);
    virtual void OnOK();
    virtual void OnCancel();

protected:
    virtual void DoDataExchange(void* /*pDX*/) {}
    virtual BOOL ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);
    // Inside a handler: let the dialog manager's default processing handle the current message too.
    void Default() { m_bDefault = true; }
    void OnDestroy() {}

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
    bool m_bEndModal = false;
    int m_nModalResult = -1;
    bool m_bDefault = false;
};
