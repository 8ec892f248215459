// The run-as-administrator setting and the elevated relaunch.
#pragma once

#include <windows.h>

UINT ReadAdminFlag();
bool IsRunningAsAdmin();
bool MustRelaunchElevated(UINT adminFlag, bool runningAsAdmin);
void RelaunchElevated();
void ToggleRunAsAdmin();
void ShowRunAsAdminCheck();
