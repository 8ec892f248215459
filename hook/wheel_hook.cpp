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
int WheelParts;

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
    // install must not be taken for that of an earlier press, nor parts of a notch turned
    // before a pause for the rest of one after it.
    SwallowMiddleRelease = false;
    WheelParts = 0;
}

// Returns the APPCOMMAND_VOLUME_* for one mouse event over the taskbar, or 0 for none.
// wheelParts carries the parts of a notch from one wheel event to the next.
UINT ChooseVolumeCommand(WPARAM message, const MSLLHOOKSTRUCT *event, bool overTaskbar, int *wheelParts)
{
    if (event == nullptr || !overTaskbar)
    {
        if (message == WM_MOUSEWHEEL)
            *wheelParts = 0; // a gesture that left the taskbar starts afresh
        return 0;
    }
    switch (message)
    {
    case WM_MOUSEWHEEL: {
        WheelTurn turn = CountWheelDelta(*wheelParts, static_cast<short>(HIWORD(event->mouseData)));
        *wheelParts = turn.Parts;
        return turn.Command;
    }
    case WM_MBUTTONDOWN:
        // Presses injected by other programs carry extra info; only the device's count.
        return event->dwExtraInfo == 0 ? APPCOMMAND_VOLUME_MUTE : 0;
    default: return 0;
    }
}

// A notched wheel sends a whole notch per event; touchpads and high-resolution wheels send
// many parts of one, which add up to a command per notch rather than a command each.
WheelTurn CountWheelDelta(int parts, int delta)
{
    if (delta == 0)
        return {APPCOMMAND_VOLUME_UP, parts};
    if (delta >= WHEEL_DELTA || delta <= -WHEEL_DELTA)
        return {delta < 0 ? UINT(APPCOMMAND_VOLUME_DOWN) : UINT(APPCOMMAND_VOLUME_UP), 0};
    if ((parts < 0) != (delta < 0))
        parts = 0; // turning back drops what was turned the other way
    parts += delta;
    if (parts >= WHEEL_DELTA)
        return {APPCOMMAND_VOLUME_UP, parts - WHEEL_DELTA};
    if (parts <= -WHEEL_DELTA)
        return {APPCOMMAND_VOLUME_DOWN, parts + WHEEL_DELTA};
    return {0, parts};
}

// Whether a window of this class is the taskbar for this build's target class. Where
// that is Shell_TrayWnd or ReBarWindow32 (Windows 11), each further monitor's taskbar,
// Shell_SecondaryTrayWnd, is one too: it holds neither. An empty name is what an
// unreadable window leaves behind: never a match.
bool CountsAsTaskbar(const wchar_t *className, const wchar_t *targetClass)
{
    if (className[0] == L'\0' || targetClass[0] == L'\0')
        return false;
    bool windows11 = wcscmp(targetClass, L"Shell_TrayWnd") == 0 || wcscmp(targetClass, L"ReBarWindow32") == 0;
    return wcscmp(className, targetClass) == 0 ||
           (windows11 && wcscmp(className, L"Shell_SecondaryTrayWnd") == 0);
}

// From Windows 11 22H2 the taskbar turns the volume itself when the wheel turns over its
// speaker icon: passing that event on would give two steps for one notch.
bool TaskbarTurnsVolumeItself(const wchar_t *targetClass)
{
    return wcscmp(targetClass, L"Shell_TrayWnd") == 0;
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
    HWND taskbar = NULL;
    if (message == WM_MOUSEWHEEL || message == WM_MBUTTONDOWN)
    {
        POINT position{};
        WindowUnderCursor = GetCursorPos(&position) ? WindowFromPoint(position) : NULL;
        ReadClassName(WindowUnderCursor, ClassUnderCursor);
        taskbar = FindTaskbar(WindowUnderCursor, ClassUnderCursor);
        command = ChooseVolumeCommand(message, reinterpret_cast<const MSLLHOOKSTRUCT *>(event),
                                      taskbar != NULL, &WheelParts);
        if (command != 0)
            PostMessageW(taskbar, WM_APPCOMMAND, 0, MAKELPARAM(0, command));
    }
    // A middle click on a taskbar button opens another window of its program: the press
    // that mutes is not passed on, and neither is its release. Nor is a wheel event over
    // a taskbar that would turn the volume itself, parts of a notch included.
    bool swallowed = false;
    if (message == WM_MOUSEWHEEL)
        swallowed = taskbar != NULL && TaskbarTurnsVolumeItself(TargetClassName);
    else if (message == WM_MBUTTONDOWN)
        swallowed = SwallowMiddleRelease = command == APPCOMMAND_VOLUME_MUTE;
    else if (message == WM_MBUTTONUP)
        swallowed = std::exchange(SwallowMiddleRelease, false);
    if (swallowed && code == HC_ACTION)
        return 1;
    return CallNextHookEx(NULL, code, message, event);
}
