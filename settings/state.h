// Process-wide state of the settings subsystem.
#pragma once

#include <windows.h>
#include <shellapi.h>

extern HKEY RunKey; // the current user's Run key, left open by the last check; or null
// ShellExecuteExW, through which the elevated copy is asked for; the tests put the
// user's answer to the elevation prompt in its place.
extern BOOL(WINAPI *StartElevatedCopy)(SHELLEXECUTEINFOW *request);
