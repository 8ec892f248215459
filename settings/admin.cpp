// The run-as-administrator setting and the elevated relaunch.
#include "settings/admin.h"

UINT ReadAdminFlag()
{
    return 0;
}

bool IsRunningAsAdmin()
{
    return false;
}

bool MustRelaunchElevated(UINT, bool)
{
    return false;
}

void RelaunchElevated() {}

void ShowRunAsAdminCheck() {}

void ToggleRunAsAdmin() {}
