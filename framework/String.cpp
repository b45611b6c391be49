// CString members that need the platform.
#include "String.h"
#include "WinApp.h"

// Here rather than beside the application object: a console program that only loads texts must not take in
// WinApp.cpp and with it comctl32, whose loading makes Wine start a desktop process. That process inherits the
// standard handles and outlives the program by a second, so a caller reading its output through pipes waited a
// second for their end after every run.
HINSTANCE AfxGetResourceHandle()
{
    return ::GetModuleHandleW(nullptr);
}

bool CString::LoadString(UINT nID)
{
    // The string table read as LoadStringW reads it, in blocks of sixteen counted texts, but with kernel32 alone:
    // Windows tells a console program that loads user32 of neither a log-off nor a shutdown, and then the
    // verifier could not take its temporary manifest along. A text of any length loads whole.
    m_str.clear();
    const HINSTANCE hInstance = AfxGetResourceHandle();
    const HRSRC hBlock = ::FindResourceW(hInstance, MAKEINTRESOURCEW((nID >> 4) + 1), RT_STRING);
    const HGLOBAL hData = hBlock ? ::LoadResource(hInstance, hBlock) : nullptr;
    const WCHAR* p = hData ? static_cast<const WCHAR*>(::LockResource(hData)) : nullptr;
    if (!p)
        return false;
    const WCHAR* pEnd = p + ::SizeofResource(hInstance, hBlock) / sizeof(WCHAR);
    for (UINT i = nID & 15; i > 0 && p < pEnd; --i)
        p += 1 + *p;
    if (p >= pEnd || *p == 0 || *p > pEnd - p - 1)
        return false;
    m_str.assign(p + 1, *p);
    return true;
}

int CString::Compare(const CString& other) const
{
    // wchar_t is unsigned 16-bit on Windows, but say so explicitly: ordering must not depend on the compiler.
    const size_t n = m_str.size() < other.m_str.size() ? m_str.size() : other.m_str.size();
    for (size_t i = 0; i < n; ++i)
    {
        const unsigned a = static_cast<unsigned short>(m_str[i]);
        const unsigned b = static_cast<unsigned short>(other.m_str[i]);
        if (a != b)
            return a < b ? -1 : 1;
    }
    if (m_str.size() == other.m_str.size())
        return 0;
    return m_str.size() < other.m_str.size() ? -1 : 1;
}
