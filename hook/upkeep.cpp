// Keeping the hook as the user asked: pause, re-hook, and bringing it back when Windows
// drops it (the timed refresh, resume and unlock, the watchdog).
#include "hook/upkeep.h"

#include "app/state.h"
#include "hook/state.h"
#include "hook/wheel_hook.h"
#include "resource.h"

#include <wtsapi32.h>

#include <chrono>
#include <new>
#include <thread>

bool HookActive = true;
int RefreshTicks;
WatchdogSample LastWatchdogSample;
HWND SessionNotificationWindow;
UINT_PTR RefreshTimer;

namespace
{
const wchar_t NoticeTitle[] = L"REHOOK";
constexpr DWORD NoticeDelay = 1000;
constexpr UINT RefreshInterval = 60000;
constexpr int RefreshTickLimit = 10;
constexpr UINT WatchdogInterval = 10000;
constexpr ULONG WatchdogTolerance = 1000; // how late Windows may fire it, to share a wake-up

// Fails at a sign-in start until the session service is ready; the watchdog tries again.
void RegisterSessionNotifications()
{
    if (SessionNotificationWindow != NULL || MainWindow == NULL)
        return;
    auto registerWindow =
        FindSessionFunction<decltype(&WTSRegisterSessionNotification)>("WTSRegisterSessionNotification");
    if (registerWindow != nullptr && registerWindow(MainWindow, NOTIFY_FOR_THIS_SESSION))
        SessionNotificationWindow = MainWindow;
}

void UnregisterSessionNotifications()
{
    if (SessionNotificationWindow != NULL)
    {
        auto unregisterWindow = FindSessionFunction<decltype(&WTSUnRegisterSessionNotification)>(
            "WTSUnRegisterSessionNotification");
        if (unregisterWindow != nullptr)
            unregisterWindow(SessionNotificationWindow);
        SessionNotificationWindow = NULL;
    }
    if (SessionLibrary != NULL)
        FreeLibrary(SessionLibrary);
    SessionLibrary = NULL;
}
} // namespace

// Sets the flag and the Pause label from whether the hook is in fact installed, whatever
// nesting of commands brought it there, and starts the watchdog over from here.
void UpdateHookState()
{
    HookActive = WheelHookHandle != NULL;
    LastWatchdogSample = TakeWatchdogSample();
    ModifyMenuW(TrayMenu, IDM_PAUSE, MF_BYCOMMAND | MF_STRING, IDM_PAUSE, HookActive ? L"暂停" : L"继续");
}

void TogglePause()
{
    if (HookActive)
        RemoveWheelHook();
    else
        InstallWheelHook();
    UpdateHookState();
}

void RehookWithNotice()
{
    ReinstallWheelHook(); // the old hook goes first, and the target class is chosen again
    // The notice closes itself; without a worker to close it, none is shown.
    auto *request = new (std::nothrow) CloseRequest{NoticeDelay, NoticeTitle};
    if (request == nullptr || !StartNoticeCloser(request))
        return;
    if (HookActive)
        MessageBoxW(NULL, L"HOOK 成功", NoticeTitle, MB_ICONINFORMATION);
    else
        MessageBoxW(NULL, L"HOOK 失败", NoticeTitle, MB_ICONERROR);
}

// Starts NoticeCloser on a detached thread that owns the request; when no thread can
// be started the request is freed here and false returned. Nothing may be thrown
// from here: the caller runs inside a window procedure.
bool StartNoticeCloser(CloseRequest *request)
{
    std::thread worker;
    try
    {
        worker = std::thread(NoticeCloser, request);
    }
    catch (...) // std::system_error, or std::bad_alloc for the thread's own record
    {
        delete request;
        return false;
    }
    try
    {
        worker.detach();
    }
    catch (...)
    {
        worker.join(); // it ends by itself within the delay, and frees the request
        return false;
    }
    return true;
}

void NoticeCloser(CloseRequest *request)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(request->Delay));
    if (HWND notice = FindOwnNotice(request->Title))
        PostMessageW(notice, WM_CLOSE, 0, 0);
    delete request;
}

// The notice is a message box of this process. Another program's window of the same
// title may hold someone's unsaved work, so it is never the one closed.
HWND FindOwnNotice(const wchar_t *title)
{
    HWND window = NULL;
    while ((window = FindWindowExW(NULL, window, L"#32770", title)) != NULL)
    {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            return window;
    }
    return NULL;
}

void StartRefreshTimer()
{
    RefreshTimer = SetTimer(NULL, 0, RefreshInterval, RefreshTimerProc);
}

// Windows silently drops a low-level hook that once answered too slowly; reinstalling
// it every minute for the first ten minutes brings it back.
void CALLBACK RefreshTimerProc(HWND, UINT, UINT_PTR timer, DWORD)
{
    if (HookActive)
        ReinstallWheelHook();
    if (++RefreshTicks == RefreshTickLimit)
        KillTimer(NULL, timer);
}

void ReinstallWheelHook()
{
    InstallWheelHook(); // in place of the old one
    UpdateHookState();
}

// Session changes are heard from here on, and the watchdog looks every ten seconds
// for as long as the program runs.
void StartHookHealing()
{
    RegisterSessionNotifications();
    SetCoalescableTimer(MainWindow, WatchdogTimerId, WatchdogInterval, NULL, WatchdogTolerance);
}

// On every way out, before the window goes.
void StopHookHealing()
{
    KillTimer(MainWindow, WatchdogTimerId);
    UnregisterSessionNotifications();
}

// Hooks die around sleep and lock: bring ours back when the machine or the session
// comes back. While paused there is nothing to bring back.
void HealHookAfter(UINT message, WPARAM event)
{
    if (HookActive && MustRehookAfter(message, event))
        ReinstallWheelHook();
}

bool MustRehookAfter(UINT message, WPARAM event)
{
    switch (message)
    {
    case WM_POWERBROADCAST: return event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND;
    case WM_WTSSESSION_CHANGE:
        return event == WTS_SESSION_UNLOCK || event == WTS_CONSOLE_CONNECT || event == WTS_REMOTE_CONNECT;
    default: return false;
    }
}

// No API tells whether a hook handle is still installed. A pointer that moved while
// the hook procedure saw no event says that Windows has removed ours.
void RunWatchdog()
{
    RegisterSessionNotifications(); // until it works
    if (!HookActive)
        return;
    WatchdogSample now = TakeWatchdogSample();
    if (HookSeemsDropped(LastWatchdogSample, now))
        ReinstallWheelHook(); // quietly; it takes the next sample
    else
        LastWatchdogSample = now;
}

// Nothing to compare while paused, or when the pointer cannot be read (as on the
// secure desktop).
WatchdogSample TakeWatchdogSample()
{
    WatchdogSample sample{};
    sample.Valid = HookActive && GetCursorPos(&sample.Position);
    sample.Events = HookEventCount;
    return sample;
}

// Keys never reach a mouse hook, so only the pointer can show that the hook is deaf.
bool HookSeemsDropped(const WatchdogSample &then, const WatchdogSample &now)
{
    bool moved = then.Position.x != now.Position.x || then.Position.y != now.Position.y;
    return then.Valid && now.Valid && moved && then.Events == now.Events;
}
