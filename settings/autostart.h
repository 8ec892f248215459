// Start at sign-in: one value under the current user's Run key, whichever version wrote it.
#pragma once

#include <windows.h>

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
bool IsAutostartRegistered();
void ToggleAutostart();
void ShowAutostartCheck();
