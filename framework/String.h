// CString: the framework's wide string, with loading from the application's message table.
#pragma once
#include <windows.h>
#include <string>

class CString
{
public:
    CString() = default;
    CString(LPCWSTR psz) : m_str(psz ? psz : L"") {}
    CString(LPCWSTR pch, int nLength) : m_str(pch, static_cast<size_t>(nLength)) {}

    // Loads entry nID of the string table; false (and an empty string) when the table has no such entry.
    bool LoadString(UINT nID);

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    wchar_t GetAt(int nIndex) const { return m_str[static_cast<size_t>(nIndex)]; }
    operator LPCWSTR() const { return m_str.c_str(); }

    CString Mid(int nFirst) const { return CString(m_str.substr(static_cast<size_t>(nFirst))); }

    CString& operator+=(const CString& s) { m_str += s.m_str; return *this; }
    CString& operator+=(wchar_t ch) { m_str += ch; return *this; }
    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_str + b.m_str); }

    // Ordinal comparison: UTF-16 code units as unsigned values, no case folding, no locale.
    int Compare(const CString& other) const;
    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator!=(const CString& a, const CString& b) { return a.m_str != b.m_str; }

private:
    explicit CString(std::wstring s) : m_str(std::move(s)) {}
    std::wstring m_str;
};
