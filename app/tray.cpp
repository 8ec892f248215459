// The tray icon, its menu and the window procedure of the hidden window.
#include "app/tray.h"

#include "app/state.h"

NOTIFYICONDATAW TrayIcon;
HMENU TrayMenu;
int LastMenuCommand;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

void FillTrayIcon() {}

void LoadTrayMenu() {}

void AddTrayIcon() {}
