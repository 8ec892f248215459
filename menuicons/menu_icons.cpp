// Icons beside menu items, converted by the Windows Imaging Component.
#include "menuicons/menu_icons.h"

void StartImaging() {}

void StopImaging() {}

HICON GetMenuIcon(UINT)
{
    return NULL;
}

HRESULT SetMenuItemIcon(UINT, HICON)
{
    return S_OK;
}
