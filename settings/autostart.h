// Start at sign-in: one value under the current user's Run key.
#pragma once

#include <windows.h>

bool NamesThisProgram(const wchar_t *stored, const wchar_t *program);
bool IsAutostartRegistered();
void ToggleAutostart();
void ShowAutostartCheck();
