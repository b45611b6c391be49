// RunFigures: numbers as the progress line and the summary show them, and the clock they are taken by.
#pragma once
#include <windows.h>
#include <string>

namespace RunFigures
{
std::wstring Decimal(double d, int nDigits);
// Bytes in the unit a person reads fastest: B, KB, MB, GB (powers of 1000, as drive makers count).
std::wstring Bytes(UINT64 n);
// h:mm:ss.
std::wstring Duration(UINT64 nSeconds);
// Milliseconds from the performance counter.
ULONGLONG NowMs();
double MegabytesPerSecond(UINT64 nBytes, ULONGLONG nMs);
}
