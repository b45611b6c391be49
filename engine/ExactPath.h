// The one translation from a path as the user sees it to the form the wide file functions take literally.
#pragma once
#include <windows.h>
#include <string>

// "X:\..." becomes "\\?\X:\..." and "\\server\share\..." becomes "\\?\UNC\server\share\...". Without the prefix
// Win32 rewrites every path it is given: a final component named like a device (NUL, COM1, "nul.txt") opens the
// device, and trailing dots and spaces are stripped from each component ("x." opens "x"); the prefix also lifts
// MAX_PATH. A path already in that form, or of any other shape (relative, device namespace), is returned unchanged.
std::wstring ToExactPath(LPCWSTR pszPath);

// A path as the user typed it ("C:/x", "x", "..\x", "\\server\share\x") made whole once, as Win32 resolves it, so
// that ToExactPath can take it literally from then on. A literal "\\?\C:\x" or "\\?\UNC\..." comes back in its
// plain form untouched (Win32's rewriting must not reach it), so a volume can be found for it. A "\\.\" path is
// rewritten by Win32 on every use ("x." opens "x"): it is resolved once, as typed, and then taken literally too.
// Unchanged where Win32 cannot resolve it.
std::wstring FullPath(const std::wstring& strGiven);

// True when a name found in a listing means itself once joined to its folder's path. Other systems, shares served
// from Linux and Wine's drives can hold names with "\", "/" or ":", which a path would read as folders or a stream
// ("d\f" as the file f in folder d): such a file must never be opened by its joined path.
bool IsNameOfOwn(LPCWSTR pszName);
