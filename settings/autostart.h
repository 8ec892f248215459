// Start at sign-in: one value under the current user's Run key.
#pragma once

#include <windows.h>

bool NamesThisProgram(const wchar_t *stored, const wchar_t *program);
bool IsApprovalDisabled(DWORD type, const BYTE *data, DWORD size);
bool IsAutostartRegistered();
void ToggleAutostart();
void ShowAutostartCheck();
