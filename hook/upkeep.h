// Keeping the hook as the user asked: pause, re-hook and the timed refresh.
#pragma once

void StartRefreshTimer();
