// Input as a device or another program sends it.
#include "testkit.h"

#include <stdio.h>
#include <wchar.h>

void PressKey(WORD key)
{
    INPUT inputs[2] = {};
    inputs[0].type = inputs[1].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = inputs[1].ki.wVk = key;
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

int MiddlePress(int, wchar_t **arguments)
{
    auto extraInfo = static_cast<ULONG_PTR>(wcstoull(arguments[0], nullptr, 0));
    INPUT inputs[2] = {MouseInput(MOUSEEVENTF_MIDDLEDOWN, 0, extraInfo),
                       MouseInput(MOUSEEVENTF_MIDDLEUP, 0, extraInfo)};
    return SendInput(2, inputs, sizeof(INPUT)) == 2 ? 0 : 1;
}

int Keys(int count, wchar_t **arguments)
{
    for (int i = 0; i < count; ++i)
    {
        const wchar_t *name = arguments[i];
        PressKey(wcscmp(name, L"down") == 0     ? VK_DOWN
                 : wcscmp(name, L"up") == 0     ? VK_UP
                 : wcscmp(name, L"return") == 0 ? VK_RETURN
                 : wcscmp(name, L"escape") == 0 ? VK_ESCAPE
                                                : static_cast<WORD>(towupper(name[0]))); // a letter's key
    }
    return 0;
}

namespace
{
bool EatAll;
DWORD EaterThread;

// Installed after Quindle's hook, so called before it: what it eats, Quindle's never sees.
LRESULT CALLBACK EatProc(int code, WPARAM message, LPARAM event)
{
    if (code != HC_ACTION || (message != WM_MOUSEWHEEL && !EatAll))
        return CallNextHookEx(NULL, code, message, event);
    POINT at = reinterpret_cast<const MSLLHOOKSTRUCT *>(event)->pt;
    if (message != WM_MOUSEWHEEL) // carried out below, out of Quindle's sight
        PostThreadMessageW(EaterThread, WM_APP + static_cast<UINT>(message), 0, MAKELPARAM(at.x, at.y));
    return 1;
}
} // namespace

int Eat(int, wchar_t **arguments)
{
    EatAll = wcscmp(arguments[0], L"all") == 0;
    EaterThread = GetCurrentThreadId();
    if (SetWindowsHookExW(WH_MOUSE_LL, EatProc, GetModuleHandleW(NULL), 0) == NULL)
        return 1;
    printf("ready\n");
    fflush(stdout);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0)
    {
        if (message.hwnd != NULL || message.message < WM_APP)
        {
            DispatchMessageW(&message);
            continue;
        }
        UINT mouse = message.message - WM_APP;
        POINT at{static_cast<short>(LOWORD(message.lParam)), static_cast<short>(HIWORD(message.lParam))},
            now{};
        GetCursorPos(&now);
        if (mouse == WM_MOUSEMOVE && (now.x != at.x || now.y != at.y))
            SetCursorPos(at.x, at.y); // the pointer still moves
        else if (HWND window = mouse == WM_MOUSEMOVE ? NULL : WindowFromPoint(at))
        {
            ScreenToClient(window, &at); // the stand-ins still get their marker clicks
            PostMessageW(window, mouse, 0, MAKELPARAM(at.x, at.y));
        }
    }
    return 0;
}
