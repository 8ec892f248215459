// Process start-up and shut-down, the hidden window and the message loop.
#pragma once

#include <windows.h>

void StartProcess();
void EndProcess();
int RunProgram(HINSTANCE instance, int showCommand, const wchar_t *arguments);
bool TakeRunningGuard();
void ReleaseRunningGuard();
bool HandOverToElevatedCopy(DWORD refused);
bool CreateMainWindow(HINSTANCE instance);
int RunMessageLoop(HACCEL accelerators);
