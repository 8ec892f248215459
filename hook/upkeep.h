// Keeping the hook as the user asked: pause, re-hook, and bringing it back when Windows
// drops it (the timed refresh, resume and unlock, the watchdog).
#pragma once

#include <windows.h>

#include "hook/state.h"

// Handed to NoticeCloser, which owns and frees it.
struct CloseRequest
{
    DWORD Delay; // milliseconds
    const wchar_t *Title;
};

void UpdateHookState();
void TogglePause();
void RehookWithNotice();
void StartRefreshTimer();
void CALLBACK RefreshTimerProc(HWND window, UINT message, UINT_PTR timer, DWORD time);
bool StartNoticeCloser(CloseRequest *request);
void NoticeCloser(CloseRequest *request);
HWND FindOwnNotice(const wchar_t *title);
void ReinstallWheelHook();
void StartHookHealing();
void StopHookHealing();
void HealHookAfter(UINT message, WPARAM event);
bool MustRehookAfter(UINT message, WPARAM event);
void RunWatchdog();
WatchdogSample TakeWatchdogSample();
bool HookSeemsDropped(const WatchdogSample &then, const WatchdogSample &now);
