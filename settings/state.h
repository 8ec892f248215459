// Process-wide state of the settings subsystem.
#pragma once

#include <windows.h>

extern HKEY RunKey; // the current user's Run key, left open by the last check; or null
