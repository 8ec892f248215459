// Keeping the hook as the user asked: pause, re-hook and the timed refresh.
#include "hook/upkeep.h"

#include "app/state.h"
#include "hook/state.h"
#include "hook/wheel_hook.h"
#include "resource.h"

#include <chrono>
#include <new>
#include <thread>

bool HookActive = true;
int RefreshTicks;
UINT_PTR RefreshTimer;

namespace
{
const wchar_t NoticeTitle[] = L"REHOOK";
constexpr DWORD NoticeDelay = 1000;
constexpr UINT RefreshInterval = 60000;
constexpr int RefreshTickLimit = 10;
} // namespace

// The flag and the Pause label say whether the hook is in fact installed, whatever
// nesting of commands brought it there.
void ShowHookState()
{
    HookActive = WheelHookHandle != NULL;
    ModifyMenuW(TrayMenu, IDM_PAUSE, MF_BYCOMMAND | MF_STRING, IDM_PAUSE, HookActive ? L"暂停" : L"继续");
}

void TogglePause()
{
    if (HookActive)
        RemoveWheelHook();
    else
        InstallWheelHook();
    ShowHookState();
}

void RehookWithNotice()
{
    InstallWheelHook(); // the old hook goes first, and the target class is chosen again
    ShowHookState();
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
    {
        InstallWheelHook(); // in place of the old one
        ShowHookState();
    }
    if (++RefreshTicks == RefreshTickLimit)
        KillTimer(NULL, timer);
}
