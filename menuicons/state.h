// Process-wide state of the menu icons.
#pragma once

#include <windows.h>
#include <wincodec.h>

#include <map>

extern IWICImagingFactory *ImagingFactory;  // null when no imaging component could be created
extern HRESULT OleInitResult;               // kept for shut-down
extern std::map<UINT, HICON> MenuIconCache; // icon id -> icon; a failed load is kept as null
