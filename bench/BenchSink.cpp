// The benchmarks' notice window and folder listing.
#include "BenchSink.h"

namespace
{
LRESULT CALLBACK SinkProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* sink = reinterpret_cast<Sink*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (uMsg == WM_COMPARE_NOTIFY && sink)
    {
        if (wParam == 0)
            sink->nCode = static_cast<int>(lParam);
        else
        {
            ++sink->nProgress;
            CCompareStatus status;
            sink->pEngine->GetStatus(status);
        }
        return 0;
    }
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}
}

HWND MakeSinkWindow(Sink* sink)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = SinkProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavikBenchSink";
    ::RegisterClassW(&wc);
    HWND h = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ::SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(sink));
    return h;
}

std::set<std::wstring> ListFiles(const std::wstring& dir)
{
    std::set<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW((dir + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        if (!(fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
            names.insert(fd.cFileName);
    } while (::FindNextFileW(h, &fd));
    ::FindClose(h);
    return names;
}
