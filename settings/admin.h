// The run-as-administrator setting and the elevated relaunch.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

#ifndef ERROR_ELEVATION_REQUIRED // not in MinGW-w64's headers
#define ERROR_ELEVATION_REQUIRED 740L
#endif

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
std::wstring DescribeSid(PSID sid);
std::wstring ReadProcessUser();
bool ReadElevationMark(const wchar_t *arguments, std::wstring *user);
SHELLEXECUTEINFOW DescribeRelaunch(HWND owner, const wchar_t *program, const wchar_t *directory,
                                   const wchar_t *parameters);
std::wstring DescribeRelaunchError(DWORD error);
RelaunchOutcome ReadRelaunchAnswer(int answer);
RelaunchOutcome RelaunchElevated(DWORD refused);
bool ToggleRunAsAdmin();
void ShowRunAsAdminCheck();
