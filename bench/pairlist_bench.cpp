// Builds the pair list from two listings of 100,000 names each and reads every entry once, as a run does.
#include "FilePairList.h"
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

int main()
{
    const int kNames = 100000;
    std::vector<std::wstring> side1, side2;
    for (int i = 0; i < kNames; ++i)
    {
        side1.push_back(L"C:\\backup\\source\\file_" + std::to_wstring(i * 7919 % 1000003) + L".dat");
        // Half the names on each side are shared, half only there.
        side2.push_back(L"D:\\copy\\source\\file_" + std::to_wstring((i + kNames / 2) * 7919 % 1000003) + L".dat");
    }
    std::mt19937 rng(1);
    std::shuffle(side1.begin(), side1.end(), rng);
    std::shuffle(side2.begin(), side2.end(), rng);

    std::vector<double> times;
    for (int run = 0; run < 5; ++run)
    {
        LARGE_INTEGER f, t0, t1;
        ::QueryPerformanceFrequency(&f);
        ::QueryPerformanceCounter(&t0);
        CFilePairList list;
        for (const std::wstring& p : side1)
            list.AddFile(p.c_str(), 1);
        for (const std::wstring& p : side2)
            list.AddFile(p.c_str(), 2);
        size_t chars = 0;
        for (int i = 0; i < list.GetCount(); ++i)
            for (int c = 0; c < 3; ++c)
                chars += static_cast<size_t>(list.GetEntry(i, c).GetLength());
        ::QueryPerformanceCounter(&t1);
        times.push_back(static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(f.QuadPart));
        std::printf("run %d: %d pairs, %zu characters read, %.3f s\n", run + 1, list.GetCount(), chars, times.back());
    }
    std::sort(times.begin(), times.end());
    std::printf("pair list, 2 x %d names: median %.3f s of 5 runs\n", kNames, times[2]);
    return 0;
}
