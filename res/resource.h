// Resource and command ids of Quindle.
#pragma once

// Strings
#define IDS_WINDOW_TITLE 103
#define IDS_SPARE_TITLE 104
#define IDS_WINDOW_CLASS 109

// Class menu and accelerator table asked for at start-up; neither exists, so the
// window has no menu and no accelerator ever fires.
#define IDC_QUINDLE 109

// Icon groups
#define IDI_APPICON 106
#define IDI_EXITICON 153
#define IDI_TRAYICON 156

// Tray menu and its commands
#define IDR_TRAYMENU 137
#define IDM_AUTOSTART 32776
#define IDM_RUNASADMIN 32780
#define IDM_ABOUT 32781
#define IDM_REHOOK 32784
#define IDM_PAUSE 32786
#define IDM_EXIT 57665
