// Start at sign-in: one value under the current user's Run key.
#pragma once

void ToggleAutostart();
void ShowAutostartCheck();
