// The baselines of `./dev bench`:
//
//   minimal hook           installs a low-level mouse hook that passes every event on, prints
//                          "ready", and runs until killed: the floor any such hook pays
//   minimal window HWND    creates a window as a small Win32 program does and, at the first
//                          message its loop takes, reports with WM_APP + 1 to HWND and ends
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace
{
LRESULT CALLBACK PassOn(int code, WPARAM message, LPARAM event)
{
    return CallNextHookEx(NULL, code, message, event);
}
} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 2 && wcscmp(argv[1], L"hook") == 0)
    {
        SetWindowsHookExW(WH_MOUSE_LL, PassOn, NULL, 0);
        printf("ready\n");
        fflush(stdout);
        MSG message;
        while (GetMessageW(&message, NULL, 0, 0) > 0)
            DispatchMessageW(&message);
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"window") == 0)
    {
        HWND report = reinterpret_cast<HWND>(static_cast<UINT_PTR>(wcstoull(argv[2], nullptr, 10)));
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(NULL);
        windowClass.lpszClassName = L"MinimalWindow";
        RegisterClassW(&windowClass);
        HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, windowClass.lpszClassName, L"Minimal", WS_POPUP, 0, 0,
                                      0, 0, NULL, NULL, windowClass.hInstance, NULL);
        PostMessageW(window, WM_NULL, 0, 0);
        MSG message;
        if (GetMessageW(&message, NULL, 0, 0) > 0)
            PostMessageW(report, WM_APP + 1, 0, 0);
        return 0;
    }
    return 2;
}
