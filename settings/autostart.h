// Start at sign-in: one value under the signed-in user's Run key, whichever version wrote it.
#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <string>

// Under the user's hive: the Run key, and where Task Manager and Settings turn one of its
// values off without deleting it (a value of the same name).
extern const wchar_t RunKeyPath[];
extern const wchar_t ApprovedKeyPath[];
extern const wchar_t AutostartValueName[]; // "Quindle V" and this version
extern const BYTE EnabledApproval[12];     // what Task Manager writes when the user turns a start back on

// Whose a Run value is.
enum RunValueOwner
{
    NotThisProgram,
    ThisVersion,  // this program's, under this version's name
    OtherVersion, // this program's, under another version's name
};

RunValueOwner ClassifyRunValue(const wchar_t *name, const wchar_t *data, const wchar_t *program,
                               const wchar_t *thisVersionName);
bool NamesThisProgram(const wchar_t *stored, const wchar_t *program);
bool IsApprovalDisabled(DWORD type, const BYTE *data, DWORD size);
std::wstring ChooseSignedInHive(const std::wstring &process, const std::wstring &signedIn);
std::wstring AskShellForUser();
std::wstring FindProcessUser(const WTS_PROCESS_INFOW *processes, DWORD count, DWORD id);
void ChooseAutostartUser(const wchar_t *passed);
void RetryAutostartUser();
bool IsAutostartRegistered();
void ToggleAutostart();
void ShowAutostartCheck();
