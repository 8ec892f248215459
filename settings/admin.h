// The run-as-administrator setting and the elevated relaunch.
#pragma once

#include <windows.h>
#include <shellapi.h>

UINT ReadAdminFlag();
bool IsRunningAsAdmin();
bool MustRelaunchElevated(UINT adminFlag, bool runningAsAdmin);
SHELLEXECUTEINFOW DescribeRelaunch(const wchar_t *program, const wchar_t *directory);
const wchar_t *DescribeRelaunchError(DWORD error);
void RelaunchElevated();
void ToggleRunAsAdmin();
void ShowRunAsAdminCheck();
