// Process-wide state of the application shell. Every item lives until the process
// ends; nothing here is released before exit.
#pragma once

#include <windows.h>
#include <shellapi.h>

constexpr int TitleLength = 100;
// MainWindow's timers, handled by its window procedure.
constexpr UINT_PTR WatchdogTimerId = 10;   // the watchdog's checks of the hook
constexpr UINT_PTR IconRetryTimer = 0x1C0; // the tray icon's next try

extern wchar_t ModulePath[MAX_PATH]; // this executable's full path, read once at start
extern wchar_t WindowTitle[TitleLength];
extern wchar_t WindowClassName[TitleLength];
extern HINSTANCE Instance;
extern HANDLE RunningGuard;             // held while this copy runs: one copy per sign-in session
extern const wchar_t *RunningGuardName; // the guard's name in the session's namespace
extern HWND MainWindow;                 // hidden owner window, target of the tray icon's messages
extern bool HandingOver;                // a hand-over to an elevated copy is under way: no menu
extern NOTIFYICONDATAW TrayIcon;        // the one notification-area icon
extern HMENU TrayMenu;                  // the popup shown from the tray icon
extern int LastMenuCommand;             // what the last TrackPopupMenu returned; 0 when dismissed
extern UINT TaskbarCreatedMessage;      // what the shell broadcasts each time it starts
extern int IconRetriesLeft;             // tries left of an icon the shell refused; 0: none pending
extern const wchar_t ProjectPage[];     // what About opens
// How About opens the page: through the desktop's shell as the signed-in user, or from
// this process; each tells whether it did. The tests put recorders in their place.
extern bool (*OpenAsDesktopUser)(const wchar_t *page);
extern bool (*OpenHere)(const wchar_t *page);

// wtsapi32.dll is not a KnownDLL: loaded from System32 by hand, never imported, so that a
// copy planted beside the program is never the one used. Freed on the way out.
extern HMODULE SessionLibrary;
// Only the type of the declared function is used: naming it would import it.
template <typename Function> Function FindSessionFunction(const char *name)
{
    if (SessionLibrary == NULL)
        SessionLibrary = LoadLibraryExW(L"wtsapi32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (SessionLibrary == NULL)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(SessionLibrary, name)));
}
