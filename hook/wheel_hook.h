// The low-level mouse hook that turns wheel and middle button into volume commands.
#pragma once

#include <windows.h>

void InstallWheelHook();
void RemoveWheelHook();
LRESULT CALLBACK WheelHookProc(int code, WPARAM message, LPARAM event);
UINT ChooseVolumeCommand(WPARAM message, const MSLLHOOKSTRUCT *event, bool overTaskbar);
bool CountsAsTaskbar(const wchar_t *className, const wchar_t *targetClass);
void ReadClassName(HWND window, wchar_t *name);
HWND FindTaskbar(HWND window, const wchar_t *className);
