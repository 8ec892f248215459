// Which window class is the taskbar on this Windows build.
#pragma once

#include <windows.h>

void QueryNtVersion();
const wchar_t *ChooseTaskbarClass(DWORD major, DWORD minor, DWORD build);
void SelectTargetClass();
