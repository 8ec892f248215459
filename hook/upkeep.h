// Keeping the hook as the user asked: pause, re-hook and the timed refresh.
#pragma once

#include <windows.h>

// Handed to NoticeCloser, which owns and frees it.
struct CloseRequest
{
    DWORD Delay; // milliseconds
    const wchar_t *Title;
};

void ShowHookState();
void TogglePause();
void RehookWithNotice();
void StartRefreshTimer();
void CALLBACK RefreshTimerProc(HWND window, UINT message, UINT_PTR timer, DWORD time);
bool StartNoticeCloser(CloseRequest *request);
void NoticeCloser(CloseRequest *request);
HWND FindOwnNotice(const wchar_t *title);
