// Icons beside menu items, converted by the Windows Imaging Component.
#pragma once

#include <windows.h>

void StartOleAndImaging();
void StopImagingAndOle();
HICON GetMenuIcon(UINT id);
HRESULT SetMenuItemIcon(UINT item, HICON icon);
