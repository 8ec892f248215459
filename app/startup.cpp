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

#include <string>

wchar_t ModulePath[MAX_PATH];
wchar_t WindowTitle[TitleLength];
wchar_t WindowClassName[TitleLength];
HINSTANCE Instance;
HANDLE RunningGuard;
const wchar_t *RunningGuardName = L"Local\\Quindle";
HWND MainWindow;
bool HandingOver;
HMODULE SessionLibrary;

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
// or another account's too, which this copy may not even open.
bool TakeRunningGuard()
{
    if (RunningGuard != NULL)
        return true; // this copy took it before
    HANDLE guard = CreateMutexW(NULL, FALSE, RunningGuardName);
    if (guard == NULL)
        return GetLastError() != ERROR_ACCESS_DENIED; // any other failure: run unguarded
    DWORD taken = WaitForSingleObject(guard, 0);
    if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) // abandoned: its copy was killed
    {
        CloseHandle(guard);
        return false;
    }
    RunningGuard = guard;
    return true;
}

void ReleaseRunningGuard()
{
    if (RunningGuard == NULL)
        return;
    ReleaseMutex(RunningGuard);
    CloseHandle(RunningGuard);
    RunningGuard = NULL;
}

// Hands over to an elevated copy; true when this copy must end. The hook goes out while the
// prompt is up, since this thread, the hook's, waits on it, and the icon opens no menu, whose
// clicks the boxes' loops still deliver; nor later, for a copy on its way out. After Ignore
// this copy goes on as it was, unless another copy started during a prompt (the guard is let
// go for each: see RelaunchElevated). refused: as RelaunchElevated.
bool HandOverToElevatedCopy(DWORD refused)
{
    bool hooked = WheelHookHandle != NULL;
    HandingOver = true;
    RemoveWheelHook();
    UpdateHookState();
    bool ends = RelaunchElevated(refused) != RelaunchIgnored || !TakeRunningGuard();
    HandingOver = ends;
    if (!ends && hooked)
        ReinstallWheelHook();
    return ends;
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

int RunProgram(HINSTANCE instance, int showCommand, const wchar_t *arguments)
{
    // A second start ends here, before it asks for elevation or shows anything.
    if (!TakeRunningGuard())
        return 0;
    // A copy that a hand-over started and that is still unelevated got a "runas" that does
    // not elevate (UAC off): asking again would start the same copy again, without end.
    std::wstring handingUser;
    bool marked = ReadElevationMark(arguments, &handingUser);
    if (MustRelaunchElevated(ReadAdminFlag(), IsRunningAsAdmin()) &&
        HandOverToElevatedCopy(marked ? ERROR_ELEVATION_REQUIRED : ERROR_SUCCESS))
        return 0;
    if (!CreateMainWindow(instance))
        return 0;

    ChooseAutostartUser(handingUser.c_str());
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
