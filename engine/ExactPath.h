// The one translation from a path as the user sees it to the form the wide file functions take literally.
#pragma once
#include <windows.h>
#include <string>

// "X:\..." becomes "\\?\X:\..." and "\\server\share\..." becomes "\\?\UNC\server\share\...". Without the prefix
// Win32 rewrites every path it is given: a final component named like a device (NUL, COM1, "nul.txt") opens the
// device, and trailing dots and spaces are stripped from each component ("x." opens "x"); the prefix also lifts
// MAX_PATH. A path already in that form, or of any other shape (relative, device namespace), is returned unchanged.
std::wstring ToExactPath(LPCWSTR pszPath);
