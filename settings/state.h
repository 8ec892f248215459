// Process-wide state of the settings subsystem.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

extern HKEY RunKey; // the user's Run key, left open by the last check; or null
// Whose Run key the item reads and writes: empty for this process's user (HKEY_CURRENT_USER),
// else the signed-in user's SID and a backslash, under HKEY_USERS. Chosen at start.
extern std::wstring AutostartUser;
extern bool AutostartUserUnknown; // elevated, and no shell said who is signed in: asked again later
// Who is signed in to this session, asked of the shell (a SID); empty when unknown. The tests
// put another account in its place.
extern std::wstring (*ReadShellUser)();
// ShellExecuteExW, through which the elevated copy is asked for; the tests put the
// user's answer to the elevation prompt in its place.
extern BOOL(WINAPI *StartElevatedCopy)(SHELLEXECUTEINFOW *request);
