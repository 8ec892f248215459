// The low-level mouse hook that turns wheel and middle button into volume commands.
#include "hook/wheel_hook.h"

#include "hook/state.h"
#include "hook/version.h"

#include <wchar.h>

#include <utility>

wchar_t ClassUnderCursor[ClassNameLength];
HWND WindowUnderCursor;
HHOOK WheelHookHandle;
unsigned HookEventCount;
bool SwallowMiddleRelease;

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
    // A release that comes without the hook is passed on; one that comes after another
    // install must not be taken for that of an earlier press.
    SwallowMiddleRelease = false;
}

// Returns the APPCOMMAND_VOLUME_* for one mouse event over the taskbar, or 0 for none.
UINT ChooseVolumeCommand(WPARAM message, const MSLLHOOKSTRUCT *event, bool overTaskbar)
{
    if (event == nullptr || !overTaskbar)
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

// Whether a window of this class is the taskbar for this build's target class. Where
// that is Shell_TrayWnd, each further monitor's taskbar, Shell_SecondaryTrayWnd, is one
// too. An empty name is what an unreadable window leaves behind: never a match.
bool CountsAsTaskbar(const wchar_t *className, const wchar_t *targetClass)
{
    if (className[0] == L'\0' || targetClass[0] == L'\0')
        return false;
    return wcscmp(className, targetClass) == 0 ||
           (wcscmp(targetClass, L"Shell_TrayWnd") == 0 && wcscmp(className, L"Shell_SecondaryTrayWnd") == 0);
}

// Empties the name when the window is gone or unreadable, so that no earlier
// class is left behind to be matched.
void ReadClassName(HWND window, wchar_t *name)
{
    if (window == NULL || GetClassNameW(window, name, ClassNameLength) == 0)
        name[0] = L'\0';
}

// The taskbar hosts its content in child windows, and WindowFromPoint gives the deepest:
// the window under the pointer counts, or else its nearest ancestor that does. A window
// outside the taskbar's tree has none.
HWND FindTaskbar(HWND window, const wchar_t *className)
{
    HWND desktop = GetDesktopWindow();
    wchar_t ancestorClass[ClassNameLength];
    while (window != NULL && !CountsAsTaskbar(className, TargetClassName))
    {
        window = GetAncestor(window, GA_PARENT);
        if (window == desktop)
            return NULL;
        ReadClassName(window, ancestorClass);
        className = ancestorClass;
    }
    return window;
}

LRESULT CALLBACK WheelHookProc(int code, WPARAM message, LPARAM event)
{
    ++HookEventCount; // proof of life for the watchdog
    // Every mouse event in the system passes here: only the wheel and the middle
    // press are looked at, so moves cost nothing.
    UINT command = 0;
    if (message == WM_MOUSEWHEEL || message == WM_MBUTTONDOWN)
    {
        POINT position{};
        WindowUnderCursor = GetCursorPos(&position) ? WindowFromPoint(position) : NULL;
        ReadClassName(WindowUnderCursor, ClassUnderCursor);
        HWND taskbar = FindTaskbar(WindowUnderCursor, ClassUnderCursor);
        command =
            ChooseVolumeCommand(message, reinterpret_cast<const MSLLHOOKSTRUCT *>(event), taskbar != NULL);
        if (command != 0)
            PostMessageW(taskbar, WM_APPCOMMAND, 0, MAKELPARAM(0, command));
    }
    // A middle click on a taskbar button opens another window of its program: the press
    // that mutes is not passed on, and neither is its release.
    bool swallowed = false;
    if (message == WM_MBUTTONDOWN)
        swallowed = SwallowMiddleRelease = command == APPCOMMAND_VOLUME_MUTE;
    else if (message == WM_MBUTTONUP)
        swallowed = std::exchange(SwallowMiddleRelease, false);
    if (swallowed && code == HC_ACTION)
        return 1;
    return CallNextHookEx(NULL, code, message, event);
}
