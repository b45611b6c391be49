// RunFigures: numbers as the progress line and the summary show them, and the clock they are taken by.
#include "RunFigures.h"
#include <cwchar>

namespace RunFigures
{
std::wstring Decimal(double d, int nDigits)
{
    wchar_t buf[64];
    swprintf(buf, 64, L"%.*f", nDigits, d);
    return buf;
}

// Bytes in the unit a person reads fastest: B, KB, MB, GB (powers of 1000, as drive makers count).
std::wstring Bytes(UINT64 n)
{
    if (n < 1000)
        return std::to_wstring(n) + L" B";
    const wchar_t* const apszUnit[] = {L"KB", L"MB", L"GB", L"TB"};
    double d = static_cast<double>(n) / 1000.0;
    int u = 0;
    while (d >= 1000.0 && u < 3)
    {
        d /= 1000.0;
        ++u;
    }
    return Decimal(d, d < 10 ? 2 : 1) + L" " + apszUnit[u];
}

std::wstring Duration(UINT64 nSeconds)
{
    wchar_t buf[32];
    swprintf(buf, 32, L"%llu:%02u:%02u", static_cast<unsigned long long>(nSeconds / 3600),
             static_cast<unsigned>(nSeconds / 60 % 60), static_cast<unsigned>(nSeconds % 60));
    return buf;
}

// Milliseconds from the performance counter: the tick count moves in steps of up to 16 ms on Windows, which
// would let two redraws of the progress line come closer than a tenth of a second.
ULONGLONG NowMs()
{
    static LONGLONG s_nFrequency;
    if (s_nFrequency == 0)
    {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        s_nFrequency = f.QuadPart;
    }
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<ULONGLONG>(c.QuadPart / s_nFrequency * 1000 + c.QuadPart % s_nFrequency * 1000 / s_nFrequency);
}

double MegabytesPerSecond(UINT64 nBytes, ULONGLONG nMs)
{
    return nMs == 0 ? 0.0 : static_cast<double>(nBytes) / 1000.0 / static_cast<double>(nMs);
}
}
