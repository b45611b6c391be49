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
    // A zero buffer length makes LoadStringW hand back a pointer into the resource itself,
    // so a text of any length loads whole instead of being cut at a fixed buffer size.
    LPCWSTR pRes = nullptr;
    int nLen = ::LoadStringW(AfxGetResourceHandle(), nID, reinterpret_cast<LPWSTR>(&pRes), 0);
    if (nLen <= 0 || pRes == nullptr)
    {
        m_str.clear();
        return false;
    }
    m_str.assign(pRes, static_cast<size_t>(nLen));
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
