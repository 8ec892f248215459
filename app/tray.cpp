// The tray icon, its menu and the window procedure of the hidden window.
#include "app/tray.h"

#include "app/about.h"
#include "app/startup.h" // the menu hands over; start-up fills the tray: one shell in two files
#include "app/state.h"
#include "hook/upkeep.h"
#include "hook/wheel_hook.h"
#include "quindle_version.h"
#include "resource.h"
#include "settings/admin.h"
#include "settings/autostart.h"

#include <wchar.h>

NOTIFYICONDATAW TrayIcon;
HMENU TrayMenu;
int LastMenuCommand;
UINT TaskbarCreatedMessage;
int IconRetriesLeft;

namespace
{
// A shell still starting at sign-in refuses the icon: ask again every few seconds,
// for five minutes at most.
constexpr UINT IconRetryInterval = 3000;
constexpr int IconRetryLimit = 100;
} // namespace

void FillTrayIcon()
{
    TrayIcon.cbSize = sizeof TrayIcon;
    TrayIcon.hWnd = MainWindow;
    TrayIcon.uID = 0;
    TrayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayIcon.uCallbackMessage = WM_USER;
    TrayIcon.hIcon = LoadIconW(Instance, MAKEINTRESOURCEW(IDI_TRAYICON));
    wcscpy_s(TrayIcon.szTip, L"Quindle V" QUINDLE_VERSION);

    // The shell announces each new start; an elevated copy must still hear it.
    TaskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    ChangeWindowMessageFilterEx(MainWindow, TaskbarCreatedMessage, MSGFLT_ALLOW, NULL);
}

void LoadTrayMenu()
{
    TrayMenu = GetSubMenu(LoadMenuW(Instance, MAKEINTRESOURCEW(IDR_TRAYMENU)), 0);
}

void AddTrayIcon()
{
    if (Shell_NotifyIconW(NIM_ADD, &TrayIcon))
    {
        StopIconRetries();
        return;
    }
    IconRetriesLeft = IconRetryLimit;
    SetTimer(MainWindow, IconRetryTimer, IconRetryInterval, NULL);
}

// One more try of an add the shell refused. An add that timed out may still have
// reached the shell, which then holds the icon: ask for it first (a modify fails for
// an icon the shell does not have), so that the icon is never added twice.
void RetryTrayIcon()
{
    if (IconRetriesLeft <= 0) // a tick already queued when the retries stopped
    {
        StopIconRetries();
        return;
    }
    --IconRetriesLeft;
    if (Shell_NotifyIconW(NIM_MODIFY, &TrayIcon) || Shell_NotifyIconW(NIM_ADD, &TrayIcon) ||
        IconRetriesLeft == 0)
        StopIconRetries();
}

void StopIconRetries()
{
    IconRetriesLeft = 0;
    KillTimer(MainWindow, IconRetryTimer);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_DESTROY:
        StopIconRetries();
        StopHookHealing(); // before the window it registered is gone
        Shell_NotifyIconW(NIM_DELETE, &TrayIcon);
        PostQuitMessage(0);
        return 0;
    case WM_SYSCOMMAND:
        // The hidden window is the foreground window after start-up and after each menu
        // command: an Alt+F4 meant for the window the user sees must not end the program.
        if ((wParam & 0xFFF0) == SC_CLOSE)
            return 0;
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_USER:
        // Without NIM_SETVERSION the shell puts the mouse message in lParam.
        if (lParam == WM_RBUTTONDOWN && !HandingOver)
            ShowTrayMenu();
        return 0;
    case WM_POWERBROADCAST:
    case WM_WTSSESSION_CHANGE:
        HealHookAfter(message, wParam);
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_TIMER:
        if (wParam == WatchdogTimerId)
            RunWatchdog();
        else if (wParam == IconRetryTimer)
            RetryTrayIcon();
        return 0;
    default:
        // A restarted shell has lost every icon, and a shell not ready when we
        // started never got ours: add it now, which also ends a wait for the shell.
        if (message == TaskbarCreatedMessage && message != 0)
        {
            AddTrayIcon();
            RetryAutostartUser();
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void ShowTrayMenu()
{
    RetryAutostartUser(); // its tick, from the keys it will change
    POINT position{};
    GetCursorPos(&position);
    // Without this the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(MainWindow);
    LastMenuCommand = TrackPopupMenu(TrayMenu, TPM_RETURNCMD | TPM_BOTTOMALIGN, position.x, position.y, 0,
                                     MainWindow, NULL);
    HandleMenuCommand();
    if (LastMenuCommand == 0)
        PostMessageW(MainWindow, WM_LBUTTONDOWN, 0, 0);
}

void HandleMenuCommand()
{
    switch (LastMenuCommand)
    {
    case IDM_AUTOSTART: ToggleAutostart(); break;
    case IDM_RUNASADMIN:
        // Turned on unelevated: an elevated copy takes over, and this one ends.
        if (ToggleRunAsAdmin() && HandOverToElevatedCopy(ERROR_SUCCESS))
            ExitProgram();
        break;
    case IDM_ABOUT: ShowAbout(); break;
    case IDM_REHOOK: RehookWithNotice(); break;
    case IDM_PAUSE: TogglePause(); break;
    case IDM_EXIT: ExitProgram(); break;
    default: break;
    }
}

void ExitProgram()
{
    StopIconRetries(); // a later tick would bring the icon back
    Shell_NotifyIconW(NIM_DELETE, &TrayIcon);
    RemoveWheelHook();
    PostQuitMessage(0);
}
