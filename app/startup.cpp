// Start-up in its fixed order, the hidden window, the message loop and shut-down.
#include "app/startup.h"

#include "app/state.h"
#include "app/tray.h"
#include "hook/upkeep.h"
#include "hook/version.h"
#include "hook/wheel_hook.h"
#include "menuicons/menu_icons.h"
#include "resource.h"
#include "settings/admin.h"
#include "settings/autostart.h"

wchar_t ModulePath[MAX_PATH];
wchar_t WindowTitle[TitleLength];
wchar_t WindowClassName[TitleLength];
HINSTANCE Instance;
HANDLE RunningGuard;
const wchar_t *RunningGuardName = L"Local\\Quindle";
HWND MainWindow;

namespace
{
// How long an elevated copy waits for the copy that handed over to it to end.
constexpr DWORD HandOverWait = 5000;
} // namespace

// What must exist before the program proper starts, in this order.
void StartProcess()
{
    // Tray programs are often started from a downloads folder: never load a DLL from
    // the program's folder or the current directory, only from System32.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    QueryNtVersion();
    StartOleAndImaging();
    // A truncated path would start nothing, or something else: keep none.
    if (GetModuleFileNameW(NULL, ModulePath, MAX_PATH) >= MAX_PATH)
        ModulePath[0] = L'\0';
}

// Undoes StartProcess in reverse order; runs on every way out of the program.
void EndProcess()
{
    StopImagingAndOle();
}

bool CreateMainWindow(HINSTANCE instance)
{
    LoadStringW(instance, IDS_WINDOW_TITLE, WindowTitle, TitleLength);
    LoadStringW(instance, IDS_WINDOW_CLASS, WindowClassName, TitleLength);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APPICON));
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APPICON));
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDC_QUINDLE);
    windowClass.lpszClassName = WindowClassName;
    RegisterClassExW(&windowClass);
    Instance = instance;

    // Zero-size tool window: nothing on screen and no taskbar button.
    MainWindow = CreateWindowExW(WS_EX_TOOLWINDOW, WindowClassName, WindowTitle, WS_POPUP, 0, 0, 0, 0, NULL,
                                 NULL, instance, NULL);
    return MainWindow != NULL;
}

// One copy per sign-in session, whatever its folder or version: with two, every notch
// would turn the volume twice. False when another copy holds the guard, an elevated one
// too, which this copy may not even open.
bool TakeRunningGuard(DWORD wait)
{
    if (RunningGuard != NULL)
        return true; // this copy took it before
    HANDLE guard = CreateMutexW(NULL, FALSE, RunningGuardName);
    if (guard == NULL)
        return GetLastError() != ERROR_ACCESS_DENIED; // any other failure: run unguarded
    DWORD taken = WaitForSingleObject(guard, wait);
    if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) // abandoned: its copy was killed
    {
        CloseHandle(guard);
        return false;
    }
    RunningGuard = guard;
    return true;
}

int RunMessageLoop(HACCEL accelerators)
{
    MSG message{};
    while (GetMessageW(&message, NULL, 0, 0) != 0)
    {
        if (TranslateAcceleratorW(message.hwnd, accelerators, &message) == 0)
        {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

int RunProgram(HINSTANCE instance, int showCommand)
{
    // An unelevated start that must run elevated hands over to an elevated copy, which
    // waits for it to end: the copy that hands over from its menu holds the guard until then.
    UINT adminFlag = ReadAdminFlag();
    if (HandOverToElevatedCopy(adminFlag))
        return 0;
    if (!TakeRunningGuard(adminFlag == 1 && IsRunningAsAdmin() ? HandOverWait : 0))
        return 0;
    if (!CreateMainWindow(instance))
        return 0;

    FillTrayIcon();
    LoadTrayMenu();
    SetMenuItemIcon(IDM_ABOUT, GetMenuIcon(IDI_TRAYICON));
    SetMenuItemIcon(IDM_EXIT, GetMenuIcon(IDI_EXITICON));
    ShowAutostartCheck();
    ShowRunAsAdminCheck();
    AddTrayIcon();

    ShowWindow(MainWindow, showCommand);
    UpdateWindow(MainWindow);
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_QUINDLE));
    InstallWheelHook();
    UpdateHookState();
    StartRefreshTimer();
    StartHookHealing();
    int exitCode = RunMessageLoop(accelerators);
    StopHookHealing();
    return exitCode;
}
