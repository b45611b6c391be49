// The benchmarks' receiver of engine notices and their folder listing, shared by engine_bench and engine_probe.
#pragma once
#include "CompareEngine.h"
#include <set>
#include <string>

// A message-only window that records the completion code and, for every progress notice, takes one snapshot as
// the dialog does, which lets the engine post the next.
struct Sink
{
    HWND hWnd = nullptr;
    int nCode = -1;
    CCompareEngine* pEngine = nullptr;
    UINT64 nProgress = 0;
};
HWND MakeSinkWindow(Sink* sink);

// The plain files directly in a folder (dir ends with a backslash), by name.
std::set<std::wstring> ListFiles(const std::wstring& dir);
