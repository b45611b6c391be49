// CWnd: a non-owning window handle with one short method per message; the base of the dialog and control wrappers.
#pragma once
#include "String.h"

class CWnd
{
public:
    CWnd() = default;
    explicit CWnd(HWND hWnd) : m_hWnd(hWnd) {}

    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT SendMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageW(m_hWnd, uMsg, wParam, lParam);
    }
    CWnd GetDlgItem(int nID) const { return CWnd(::GetDlgItem(m_hWnd, nID)); }
    BOOL EnableWindow(BOOL bEnable = TRUE) const { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL SetWindowText(LPCWSTR psz) const { return ::SetWindowTextW(m_hWnd, psz); }
    CString GetWindowText() const
    {
        const int nLen = ::GetWindowTextLengthW(m_hWnd);
        std::wstring buf(static_cast<size_t>(nLen) + 1, L'\0');
        const int nGot = ::GetWindowTextW(m_hWnd, &buf[0], nLen + 1);
        return CString(buf.c_str(), nGot);
    }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    BOOL GetClientRect(RECT* pRect) const { return ::GetClientRect(m_hWnd, pRect); }
    void SetRedraw(BOOL bRedraw = TRUE) const { SendMessage(WM_SETREDRAW, static_cast<WPARAM>(bRedraw)); }
    BOOL Invalidate(BOOL bErase = TRUE) const { return ::InvalidateRect(m_hWnd, nullptr, bErase); }

    HWND m_hWnd = nullptr;
};

// Message-map macros, ATL style: each entry is one `if` inside one dispatch function, easy to step through.
// A handler entry returns TRUE with the message's result in lResult; unmatched messages go to the base class.
#define DECLARE_MESSAGE_MAP() \
protected: \
    BOOL ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass) \
    BOOL theClass::ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) \
    { \
        typedef baseClass TheBaseClass;

#define END_MESSAGE_MAP() \
        return TheBaseClass::ProcessWindowMessage(uMsg, wParam, lParam, lResult); \
    }

#define ON_COMMAND(id, memberFxn) \
    if (uMsg == WM_COMMAND && HIWORD(wParam) == 0 && LOWORD(wParam) == (id)) \
    { memberFxn(); lResult = 0; return TRUE; }

#define ON_BN_CLICKED(id, memberFxn) \
    if (uMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == (id)) \
    { memberFxn(); lResult = 0; return TRUE; }

#define ON_NOTIFY(wNotifyCode, id, memberFxn) \
    if (uMsg == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam)->idFrom == (id) && \
        reinterpret_cast<NMHDR*>(lParam)->code == static_cast<UINT>(wNotifyCode)) \
    { lResult = 0; memberFxn(reinterpret_cast<NMHDR*>(lParam), &lResult); return TRUE; }

#define ON_MESSAGE(message, memberFxn) \
    if (uMsg == (message)) \
    { lResult = memberFxn(wParam, lParam); return TRUE; }

#define ON_WM_PAINT() \
    if (uMsg == WM_PAINT) { OnPaint(); lResult = 0; return TRUE; }

#define ON_WM_QUERYDRAGICON() \
    if (uMsg == WM_QUERYDRAGICON) { lResult = reinterpret_cast<LRESULT>(OnQueryDragIcon()); return TRUE; }

#define ON_WM_DESTROY() \
    if (uMsg == WM_DESTROY) { OnDestroy(); lResult = 0; return TRUE; }
