// The low-level mouse hook that turns wheel and middle button into volume commands.
#include "hook/wheel_hook.h"

#include "hook/state.h"
#include "hook/version.h"

#include <wchar.h>

wchar_t ClassUnderCursor[ClassNameLength];
HWND WindowUnderCursor;
HHOOK WheelHookHandle;
unsigned HookEventCount;

void InstallWheelHook()
{
    SelectTargetClass();
    // A command nested in another's modal loop may install over a hook still in
    // place; removing it first keeps exactly one.
    RemoveWheelHook();
    WheelHookHandle = SetWindowsHookExW(WH_MOUSE_LL, WheelHookProc, NULL, 0);
}

void RemoveWheelHook()
{
    if (WheelHookHandle != NULL)
        UnhookWindowsHookEx(WheelHookHandle);
    WheelHookHandle = NULL;
}

// Returns the APPCOMMAND_VOLUME_* for one mouse event, or 0 for none.
UINT ChooseVolumeCommand(WPARAM message, const MSLLHOOKSTRUCT *event, const wchar_t *classUnderCursor,
                         const wchar_t *targetClass)
{
    // An empty name is what an unreadable window leaves behind: never a match.
    if (event == nullptr || targetClass[0] == L'\0' || wcscmp(classUnderCursor, targetClass) != 0)
        return 0;
    switch (message)
    {
    case WM_MOUSEWHEEL:
        return static_cast<short>(HIWORD(event->mouseData)) < 0 ? APPCOMMAND_VOLUME_DOWN
                                                                : APPCOMMAND_VOLUME_UP;
    case WM_MBUTTONDOWN:
        // Presses injected by other programs carry extra info; only the device's count.
        return event->dwExtraInfo == 0 ? APPCOMMAND_VOLUME_MUTE : 0;
    default: return 0;
    }
}

// Empties the name when the window is gone or unreadable, so that no earlier
// class is left behind to be matched.
void ReadClassName(HWND window, wchar_t *name)
{
    if (window == NULL || GetClassNameW(window, name, ClassNameLength) == 0)
        name[0] = L'\0';
}

LRESULT CALLBACK WheelHookProc(int code, WPARAM message, LPARAM event)
{
    ++HookEventCount; // proof of life for the watchdog
    // Every mouse event in the system passes here: only the wheel and the middle
    // press are looked at, so moves cost nothing.
    if (message == WM_MOUSEWHEEL || message == WM_MBUTTONDOWN)
    {
        POINT position{};
        WindowUnderCursor = GetCursorPos(&position) ? WindowFromPoint(position) : NULL;
        ReadClassName(WindowUnderCursor, ClassUnderCursor);
        UINT command = ChooseVolumeCommand(message, reinterpret_cast<const MSLLHOOKSTRUCT *>(event),
                                           ClassUnderCursor, TargetClassName);
        if (command != 0)
            PostMessageW(WindowUnderCursor, WM_APPCOMMAND, 0, MAKELPARAM(0, command));
    }
    return CallNextHookEx(NULL, code, message, event);
}
