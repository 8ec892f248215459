// The run-as-administrator setting and the elevated relaunch.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

// What became of an elevated relaunch.
enum RelaunchOutcome
{
    RelaunchStarted,   // the elevated copy is on its way: this one ends
    RelaunchAbandoned, // it failed and the user chose Abort: this one ends
    RelaunchRetried,   // it failed and the user chose Retry: try again
    RelaunchIgnored,   // it failed and the user chose Ignore: this one goes on unelevated
};

std::wstring ChooseSettingsFile(const wchar_t *currentDirectory, const wchar_t *systemDirectory,
                                const wchar_t *modulePath);
std::wstring FindSettingsFile();
UINT ReadAdminFlag();
bool IsRunningAsAdmin();
bool MustRelaunchElevated(UINT adminFlag, bool runningAsAdmin);
SHELLEXECUTEINFOW DescribeRelaunch(const wchar_t *program, const wchar_t *directory);
std::wstring DescribeRelaunchError(DWORD error);
RelaunchOutcome ReadRelaunchAnswer(int answer);
RelaunchOutcome RelaunchElevated();
bool ToggleRunAsAdmin();
void ShowRunAsAdminCheck();
