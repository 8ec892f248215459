// Process-wide state of the wheel-to-volume hook.
#pragma once

#include <windows.h>

constexpr int ClassNameLength = 100;

// What the system reports for itself; all zero when it cannot be asked.
struct NtVersionNumbers
{
    DWORD Major;
    DWORD Minor;
    DWORD Build; // low 16 bits only
};

// What the watchdog saw at its last look: where the pointer was and how many events the
// hook procedure had seen by then.
struct WatchdogSample
{
    bool Valid; // false: the pointer could not be read
    POINT Position;
    unsigned Events;
};

extern NtVersionNumbers NtVersion;
extern wchar_t TargetClassName[ClassNameLength];  // taskbar class for this build; empty: none
extern wchar_t ClassUnderCursor[ClassNameLength]; // class of WindowUnderCursor; empty: unreadable
extern HWND WindowUnderCursor;                    // under the pointer at the last wheel or middle press
extern HHOOK WheelHookHandle;                     // the installed hook, or null
extern bool HookActive;                           // whether the hook is installed; the Pause label follows it
extern int RefreshTicks;                          // ticks of the refresh timer so far
extern unsigned HookEventCount;                   // events the hook procedure has seen; it wraps
extern bool SwallowMiddleRelease;                 // the last middle press muted: its release is eaten too
extern int WheelParts;                            // parts of a notch turned over the taskbar so far
extern WatchdogSample LastWatchdogSample;         // taken at each install or removal and each check
extern HWND SessionNotificationWindow;            // the window registered for session changes, or null
extern UINT_PTR RefreshTimer;                     // the refresh timer's id, given when start-up sets it
