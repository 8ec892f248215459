// Start at sign-in: one value under the current user's Run key.
#include "settings/autostart.h"

void ShowAutostartCheck() {}

void ToggleAutostart() {}
