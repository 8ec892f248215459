// The low-level mouse hook that turns wheel and middle button into volume commands.
#pragma once

#include <windows.h>

void InstallWheelHook();
void RemoveWheelHook();
LRESULT CALLBACK WheelHookProc(int code, WPARAM message, LPARAM event);

// What one wheel event over the taskbar gives, and the parts of a notch still owed.
struct WheelTurn
{
    UINT Command; // APPCOMMAND_VOLUME_UP or _DOWN; 0: none yet
    int Parts;    // the new total of the parts
};

UINT ChooseVolumeCommand(WPARAM message, const MSLLHOOKSTRUCT *event, bool overTaskbar, int *wheelParts);
WheelTurn CountWheelDelta(int parts, int delta);
bool CountsAsTaskbar(const wchar_t *className, const wchar_t *targetClass);
bool TaskbarTurnsVolumeItself(const wchar_t *targetClass);
void ReadClassName(HWND window, wchar_t *name);
HWND FindTaskbar(HWND window, const wchar_t *className);
