// The tray icon, the menu and the upkeep of the hook, on the program's real window and menu.
#include "app/about.h"
#include "app/state.h"
#include "app/startup.h"
#include "app/tray.h"
#include "hook/state.h"
#include "hook/upkeep.h"
#include "hook/wheel_hook.h"
#include "quindle_version.h"
#include "resource.h"
#include "settings/admin.h"

#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

// Counts the heap blocks alive, to see that a failed command frees what it
// allocated; and fails every allocation after the next AllocationsAllowed ones.
std::atomic<long> LiveBlocks;
std::atomic<long> AllocationsAllowed = -1; // -1: no limit
void (*BeforeNextAllocation)();            // run once, at the next allocation

namespace
{
void *Allocate(std::size_t size)
{
    if (auto before = BeforeNextAllocation)
    {
        BeforeNextAllocation = nullptr;
        before();
    }
    if (AllocationsAllowed == 0)
        return nullptr;
    if (AllocationsAllowed > 0)
        --AllocationsAllowed;
    void *block = std::malloc(size ? size : 1);
    if (block != nullptr)
        ++LiveBlocks;
    return block;
}
} // namespace

void *operator new(std::size_t size)
{
    if (void *block = Allocate(size))
        return block;
    throw std::bad_alloc();
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return Allocate(size);
}

void operator delete(void *block) noexcept
{
    if (block != nullptr)
        --LiveBlocks;
    std::free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    if (block != nullptr)
        --LiveBlocks;
    std::free(block);
}

namespace
{
const std::vector<LPARAM> None, OneUp = {0x000A0000};

// Back to how start-up left the program: hook on, "暂停", icon shown, no WM_QUIT waiting.
void Reset()
{
    InstallWheelHook();
    UpdateHookState();
    AddTrayIcon();
    StopIconRetries(); // the icon was there already: the shell refused the second add
    TakeQuitMessage();
}

// The text of this process's notice, read while it is open.
std::wstring NoticeText()
{
    return MessageText(FindOwnNotice(L"REHOOK"));
}

TEST(Tray, IconRecordAsListed)
{
    EXPECT_EQ(TrayIcon.cbSize, 976u);
    EXPECT_EQ(TrayIcon.hWnd, MainWindow);
    EXPECT_EQ(TrayIcon.uID, 0u);
    EXPECT_EQ(TrayIcon.uFlags, UINT(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(TrayIcon.uCallbackMessage, UINT(WM_USER));
    EXPECT_NE(TrayIcon.hIcon, nullptr);
    EXPECT_STREQ(TrayIcon.szTip, L"Quindle V" QUINDLE_VERSION);
    EXPECT_EQ(TrayIcon.dwState | TrayIcon.dwStateMask | TrayIcon.uVersion | TrayIcon.dwInfoFlags, 0u);
    EXPECT_TRUE(IconPresent());
    EXPECT_NE(TrayMenu, nullptr);
    EXPECT_EQ(GetMenuItemCount(TrayMenu), 8);
}

// About's two ways of opening the page, as recorders: the way, the page, and whether it
// was opened on the hook's thread.
std::mutex OpenedLock;
std::vector<std::wstring> Opened;
bool DesktopOpens; // what the desktop's shell answers

bool RecordOpening(const wchar_t *way, const wchar_t *page)
{
    bool hookThread = GetCurrentThreadId() == GetWindowThreadProcessId(MainWindow, NULL);
    std::lock_guard<std::mutex> hold(OpenedLock);
    Opened.push_back(way + std::wstring(L" ") + page + (hookThread ? L" on the hook's thread" : L""));
    return true;
}

bool OpenedAsDesktopUser(const wchar_t *page)
{
    return RecordOpening(L"desktop", page) && DesktopOpens;
}

bool OpenedHere(const wchar_t *page)
{
    return RecordOpening(L"here", page);
}

// Each way tried, in order, once count of them have been.
std::vector<std::wstring> PageOpenings(size_t count)
{
    PumpUntil([count] {
        std::lock_guard<std::mutex> hold(OpenedLock);
        return Opened.size() >= count;
    });
    std::lock_guard<std::mutex> hold(OpenedLock);
    return std::exchange(Opened, {});
}

TEST(Tray, EachMenuCommandReachesItsHandler)
{
    // About opens the project page: through recorders here.
    OpenAsDesktopUser = OpenedAsDesktopUser;
    OpenHere = OpenedHere;
    DesktopOpens = true;
    const std::wstring page = L"" QUINDLE_PROJECT_PAGE;
    const std::vector<std::wstring> opened = {(IsRunningAsAdmin() ? L"desktop " : L"here ") + page};

    const struct
    {
        const char *name;
        int id;
        const wchar_t *label;
        bool hooked, quit, icon, opened;
    } cases[] = {
        {"nothing chosen", 0, L"暂停", true, false, true, false},
        {"unknown id", 12345, L"暂停", true, false, true, false},
        {"pause", IDM_PAUSE, L"继续", false, false, true, false},
        {"re-hook", IDM_REHOOK, L"暂停", true, false, true, false},
        {"about", IDM_ABOUT, L"暂停", true, false, true, true},
        {"exit", IDM_EXIT, L"暂停", false, true, false, false},
    };
    for (const auto &c : cases)
    {
        Reset();
        HHOOK before = WheelHookHandle;
        LastMenuCommand = c.id;
        HandleMenuCommand();
        EXPECT_EQ(PauseLabel(), c.label) << c.name;
        EXPECT_EQ(WheelHookHandle != NULL, c.hooked) << c.name;
        EXPECT_EQ(TakeQuitMessage(), c.quit) << c.name;
        EXPECT_EQ(IconPresent(), c.icon) << c.name;
        EXPECT_EQ(PageOpenings(c.opened ? 1 : 0), c.opened ? opened : std::vector<std::wstring>{}) << c.name;
        if (c.id == 0 || c.id == 12345)
        {
            EXPECT_EQ(WheelHookHandle, before) << c.name;
        }
    }
    OpenAsDesktopUser = OpenThroughDesktopShell;
    OpenHere = OpenWithShellExecute;
    Reset();
}

// Elevated, the page opens through the desktop's shell, so that the browser runs as the
// signed-in user, and from here only where that fails; unelevated, from here. Never on the
// hook's thread.
TEST(Tray, AboutOpensThePageAsTheSignedInUser)
{
    OpenAsDesktopUser = OpenedAsDesktopUser;
    OpenHere = OpenedHere;
    const std::wstring page = L"" QUINDLE_PROJECT_PAGE, desktop = L"desktop " + page, here = L"here " + page;
    const struct
    {
        bool elevated, desktopOpens;
        std::vector<std::wstring> ways;
    } cases[] = {
        {true, true, {desktop}},
        {true, false, {desktop, here}},
        {false, true, {here}},
    };
    for (const auto &c : cases)
    {
        DesktopOpens = c.desktopOpens;
        ASSERT_TRUE(StartPageOpener(c.elevated));
        EXPECT_EQ(PageOpenings(c.ways.size()), c.ways) << c.elevated << c.desktopOpens;
    }
    OpenAsDesktopUser = OpenThroughDesktopShell;
    OpenHere = OpenWithShellExecute;
}

int MenusOpened;
WNDPROC ProgramWindowProc;

// Watches the program's window procedure for the start of menu tracking.
LRESULT CALLBACK WatchMenuLoop(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_ENTERMENULOOP)
        ++MenusOpened;
    return CallWindowProcW(ProgramWindowProc, window, message, wParam, lParam);
}

void CALLBACK DismissMenu(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(NULL, timer);
    EndMenu();
}

TEST(Tray, OnlyTheRightPressOpensTheMenuAndDismissingPostsOneLeftPress)
{
    Reset();
    ProgramWindowProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(MainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchMenuLoop)));
    const struct
    {
        LPARAM mouse;
        bool opens;
    } cases[] = {{WM_RBUTTONDOWN, true}, {WM_RBUTTONUP, false},     {WM_LBUTTONDOWN, false},
                 {WM_LBUTTONUP, false},  {WM_LBUTTONDBLCLK, false}, {WM_RBUTTONDBLCLK, false},
                 {WM_MOUSEMOVE, false},  {WM_CONTEXTMENU, false},   {WM_RBUTTONDOWN, true}};
    for (const auto &c : cases)
    {
        HHOOK hook = WheelHookHandle;
        MenusOpened = 0;
        UINT_PTR timer = SetTimer(NULL, 0, 100, DismissMenu);
        SendMessageW(MainWindow, WM_USER, 0, c.mouse);
        KillTimer(NULL, timer);
        EXPECT_EQ(MenusOpened, c.opens ? 1 : 0) << c.mouse;
        EXPECT_EQ(LastMenuCommand, 0) << c.mouse;
        int leftPresses = 0;
        MSG message;
        while (PeekMessageW(&message, MainWindow, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_REMOVE))
            leftPresses += message.wParam == 0 && message.lParam == 0;
        EXPECT_EQ(leftPresses, c.opens ? 1 : 0) << c.mouse;
        EXPECT_EQ(WheelHookHandle, hook) << c.mouse;
        EXPECT_EQ(PauseLabel(), L"暂停") << c.mouse;
    }
    SetWindowLongPtrW(MainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ProgramWindowProc));
}

TEST(Tray, ShellRestartAddsTheIconAgain)
{
    Reset();
    Shell_NotifyIconW(NIM_DELETE, &TrayIcon);
    ASSERT_FALSE(IconPresent());
    ASSERT_NE(TaskbarCreatedMessage, 0u);
    SendMessageW(MainWindow, TaskbarCreatedMessage, 0, 0);
    EXPECT_TRUE(IconPresent());
}

// Whether a retry of the icon is pending, its window timer included.
bool IconRetrying()
{
    bool timer = KillTimer(MainWindow, IconRetryTimer) != FALSE;
    if (timer)
        SetTimer(MainWindow, IconRetryTimer, USER_TIMER_MAXIMUM, NULL); // the test ticks it
    return timer && IconRetriesLeft > 0;
}

// A refused add is tried again on the window's timer. A shell that holds the icon
// already (an add that timed out, yet arrived) ends the tries without a second add;
// Exit stops them (and so does the window's end, below).
TEST(Tray, ARefusedIconIsTriedAgainButNeverAddedTwice)
{
    Reset();
    AddTrayIcon(); // the shell holds it already, so refuses
    ASSERT_TRUE(IconRetrying());
    SendMessageW(MainWindow, WM_TIMER, IconRetryTimer, 0);
    EXPECT_FALSE(IconRetrying());
    EXPECT_TRUE(IconPresent());

    AddTrayIcon();
    ASSERT_TRUE(IconRetrying());
    LastMenuCommand = IDM_EXIT;
    HandleMenuCommand();
    EXPECT_FALSE(IconRetrying());
    EXPECT_TRUE(TakeQuitMessage());
    Reset();
}

TEST(Tray, ClosingTheWindowRemovesTheIconAndEndsTheLoop)
{
    HWND original = MainWindow;
    NOTIFYICONDATAW originalIcon = TrayIcon;
    ASSERT_TRUE(CreateMainWindow(GetModuleHandleW(NULL)));
    FillTrayIcon();
    AddTrayIcon();
    StartHookHealing();
    ASSERT_TRUE(IconPresent());
    AddTrayIcon(); // refused: a retry is pending
    ASSERT_TRUE(IconRetrying());
    // Alt+F4 meant for another window reaches the hidden one, which was in front: it stays.
    SendMessageW(MainWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(IsWindow(MainWindow));
    EXPECT_FALSE(TakeQuitMessage());
    SendMessageW(MainWindow, WM_CLOSE, 0, 0); // closed from outside
    EXPECT_EQ(SessionNotificationWindow, nullptr);
    EXPECT_FALSE(IsWindow(MainWindow));
    EXPECT_EQ(IconRetriesLeft, 0);
    EXPECT_FALSE(IconPresent());
    EXPECT_TRUE(TakeQuitMessage());
    MainWindow = original;
    TrayIcon = originalIcon;
}

TEST(Upkeep, PauseResumeAndRehookWhilePaused)
{
    Reset();
    TogglePause();
    EXPECT_EQ(PauseLabel(), L"继续");
    EXPECT_FALSE(HookActive);
    EXPECT_EQ(WheelHookHandle, nullptr);
    TogglePause();
    EXPECT_EQ(PauseLabel(), L"暂停");
    EXPECT_TRUE(HookActive);
    EXPECT_NE(WheelHookHandle, nullptr);

    TogglePause();
    static std::wstring shown;
    static ULONGLONG shownAt;
    shown.clear();
    shownAt = 0;
    // Looks every 10 ms, inside the notice's own loop, for when it shows and what it says.
    UINT_PTR watch = SetTimer(NULL, 0, 10, [](HWND, UINT, UINT_PTR, DWORD) {
        if (shownAt == 0 && FindOwnNotice(L"REHOOK") != NULL)
            shownAt = GetTickCount64(), shown = NoticeText();
    });
    long blocks = LiveBlocks;
    RehookWithNotice(); // returns when the notice has closed itself
    ULONGLONG onScreen = GetTickCount64() - shownAt;
    KillTimer(NULL, watch);
    EXPECT_TRUE(PumpUntil([blocks] { return LiveBlocks == blocks; })) << "the closer frees its request";
    EXPECT_EQ(shown, L"HOOK 成功");
    // The closer's second, less the box's own start, plus its closing: 0.5 s either way
    // covers a slow Wine, and a notice left up 2.5 s is well outside.
    EXPECT_GE(onScreen, 500u);
    EXPECT_LE(onScreen, 1500u);
    EXPECT_EQ(PauseLabel(), L"暂停");
    EXPECT_TRUE(HookActive);
    EXPECT_NE(WheelHookHandle, nullptr);
}

int NestedCommand;

void CALLBACK RunNestedCommand(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(NULL, timer);
    LastMenuCommand = NestedCommand;
    HandleMenuCommand();
}

// The notice's modal loop lets the user run a second command inside the first.
TEST(Upkeep, CommandsNestedInTheNoticeLeaveAtMostOneHook)
{
    HWND bar = ShowFakeTaskbar(L"MSTaskListWClass");
    NtVersion = {10, 0, 19045};
    const struct
    {
        const char *name;
        bool paused;
        int nested;
        const wchar_t *label;
        const std::vector<LPARAM> &commands;
    } cases[] = {
        {"pause inside", false, IDM_PAUSE, L"继续", None},
        {"pause inside, re-hook made while paused", true, IDM_PAUSE, L"继续", None},
        {"re-hook inside", false, IDM_REHOOK, L"暂停", OneUp},
        {"re-hook inside, re-hook made while paused", true, IDM_REHOOK, L"暂停", OneUp},
    };
    for (const auto &c : cases)
    {
        Reset();
        if (c.paused)
            TogglePause();
        NestedCommand = c.nested;
        SetTimer(NULL, 0, 200, RunNestedCommand);
        RehookWithNotice();
        EXPECT_TRUE(PumpUntil([] { return FindOwnNotice(L"REHOOK") == NULL; })) << c.name;
        EXPECT_EQ(PauseLabel(), c.label) << c.name;
        EXPECT_EQ(HookActive, WheelHookHandle != NULL) << c.name;
        EXPECT_EQ(CommandsFor(MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA)), c.commands) << c.name;
    }
    DestroyWindow(bar);
    Reset();
}

TEST(Upkeep, TenRefreshTicksThenTheTimerStops)
{
    Reset();
    RefreshTicks = 0;
    UINT_PTR timer = SetTimer(NULL, 0, 60000, RefreshTimerProc);
    for (int tick = 1; tick <= 10; ++tick)
    {
        if (tick == 4)
            TogglePause(); // ticks while paused count, and reinstall nothing
        HHOOK before = WheelHookHandle;
        RefreshTimerProc(NULL, WM_TIMER, timer, 0);
        EXPECT_EQ(RefreshTicks, tick);
        if (tick < 4)
        {
            EXPECT_NE(WheelHookHandle, nullptr) << tick;
            EXPECT_NE(WheelHookHandle, before) << tick;
            EXPECT_FALSE(UnhookWindowsHookEx(before)) << tick; // the old one is gone
        }
        else
        {
            EXPECT_EQ(WheelHookHandle, nullptr) << tick;
            EXPECT_EQ(PauseLabel(), L"继续") << tick;
        }
    }
    EXPECT_FALSE(KillTimer(NULL, timer)); // the tenth tick killed it
    Reset();
}

std::vector<HMENU> HeldMenus;

// With the window manager's handle table full, no hook can be installed. The table is
// emptied again when the notice's request is allocated, after the failed install.
TEST(Upkeep, AReHookThatCannotInstallTheHookSaysSo)
{
    Reset();
    TogglePause(); // no hook left for the re-hook to remove, so the table stays full
    static std::wstring shown;
    shown.clear();
    SetTimer(NULL, 0, 300, [](HWND, UINT, UINT_PTR timer, DWORD) {
        KillTimer(NULL, timer);
        shown = NoticeText();
    });
    HeldMenus.reserve(70000);
    while (HMENU menu = CreateMenu())
        HeldMenus.push_back(menu);
    BeforeNextAllocation = [] {
        for (HMENU menu : HeldMenus)
            DestroyMenu(menu);
        HeldMenus.clear();
    };
    RehookWithNotice();
    EXPECT_EQ(shown, L"HOOK 失败");
    EXPECT_EQ(WheelHookHandle, nullptr);
    EXPECT_FALSE(HookActive);
    EXPECT_EQ(PauseLabel(), L"继续");
    Reset();
}

// No memory for the request, or none for the worker thread: the hook is reinstalled
// all the same, no notice is shown (nobody would close it), and nothing is leaked.
TEST(Upkeep, AReHookWhoseWorkerCannotStartShowsNoNoticeAndLeaksNothing)
{
    for (long allowed : {0, 1})
    {
        Reset();
        TogglePause();
        long blocks = LiveBlocks;
        // A notice shown now would have no closer: this one closes it, so the test fails
        // instead of hanging.
        static bool shown;
        shown = false;
        UINT_PTR rescue = SetTimer(NULL, 0, 500, [](HWND, UINT, UINT_PTR, DWORD) {
            if (HWND notice = FindOwnNotice(L"REHOOK"))
                shown = true, PostMessageW(notice, WM_CLOSE, 0, 0);
        });
        AllocationsAllowed = allowed;
        RehookWithNotice();
        AllocationsAllowed = -1;
        KillTimer(NULL, rescue);
        EXPECT_FALSE(shown) << allowed;
        EXPECT_EQ(LiveBlocks, blocks) << allowed;
        EXPECT_NE(WheelHookHandle, nullptr) << allowed;
        EXPECT_TRUE(HookActive) << allowed;
        EXPECT_EQ(PauseLabel(), L"暂停") << allowed;
    }
}

// Windows removes a hook without a word and leaves its handle as it was. A move the hook
// missed, resume and unlock bring it back; typing, no input, and a pause do not.
TEST(Upkeep, ADroppedHookComesBackAfterAMissedMoveResumeAndUnlock)
{
    HWND bar = ShowFakeTaskbar(L"MSTaskListWClass");
    NtVersion = {10, 0, 19045};
    INPUT move = MouseInput(MOUSEEVENTF_MOVE), keys[2] = {};
    move.mi.dx = 3;
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = VK_SHIFT;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    const struct
    {
        const char *name;
        bool paused, dropped;
        const INPUT *input;
        UINT inputs, message;
        WPARAM event;
        bool reinstalled;
        const std::vector<LPARAM> &commands;
    } cases[] = {
        {"dropped, pointer moved", false, true, &move, 1, WM_TIMER, WatchdogTimerId, true, OneUp},
        {"dropped, typing only", false, true, keys, 2, WM_TIMER, WatchdogTimerId, false, None},
        {"dropped, no input", false, true, nullptr, 0, WM_TIMER, WatchdogTimerId, false, None},
        {"dropped, other timer", false, true, &move, 1, WM_TIMER, WatchdogTimerId + 1, false, None},
        {"alive, pointer moved", false, false, &move, 1, WM_TIMER, WatchdogTimerId, false, OneUp},
        {"paused, pointer moved", true, false, &move, 1, WM_TIMER, WatchdogTimerId, false, None},
        {"resume", false, true, nullptr, 0, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, true, OneUp},
        {"resume by the user", false, true, nullptr, 0, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, true, OneUp},
        {"suspend", false, true, nullptr, 0, WM_POWERBROADCAST, PBT_APMSUSPEND, false, None},
        {"unlock", false, true, nullptr, 0, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, true, OneUp},
        {"console connect", false, true, nullptr, 0, WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, true, OneUp},
        {"remote connect", false, true, nullptr, 0, WM_WTSSESSION_CHANGE, WTS_REMOTE_CONNECT, true, OneUp},
        {"lock", false, true, nullptr, 0, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, false, None},
        {"paused, resume", true, false, nullptr, 0, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, false, None},
        {"paused, unlock", true, false, nullptr, 0, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, false, None},
    };
    for (const auto &c : cases)
    {
        Reset();
        if (c.paused)
            TogglePause();
        // Every earlier event is in once this one is; then the check before the one tested.
        CommandsFor(MouseInput(MOUSEEVENTF_HWHEEL, WHEEL_DELTA));
        SendMessageW(MainWindow, WM_TIMER, WatchdogTimerId, 0);
        HHOOK before = WheelHookHandle;
        if (c.dropped)
            UnhookWindowsHookEx(before);
        POINT start{}, now{};
        GetCursorPos(&start);
        unsigned events = HookEventCount;
        SendInput(c.inputs, const_cast<INPUT *>(c.input), sizeof(INPUT));
        EXPECT_TRUE(PumpUntil([&] {
            GetCursorPos(&now);
            return c.input != &move ||
                   (now.x != start.x && (c.dropped || c.paused || HookEventCount != events));
        })) << c.name;
        SendMessageW(MainWindow, c.message, c.event, 0);
        EXPECT_EQ(WheelHookHandle != before, c.reinstalled) << c.name;
        EXPECT_EQ(PauseLabel(), c.paused ? L"继续" : L"暂停") << c.name;
        EXPECT_EQ(CommandsFor(MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA)), c.commands) << c.name;
    }
    DestroyWindow(bar);
    Reset();
}

// Session changes are asked for at start and, until that works, at each check; they are
// given up on every way out.
TEST(Upkeep, SessionNotificationsAreRetriedAndGivenUp)
{
    StopHookHealing();
    SendMessageW(MainWindow, WM_TIMER, WatchdogTimerId, 0);
    EXPECT_EQ(SessionNotificationWindow, MainWindow);
    StopHookHealing();
    EXPECT_EQ(SessionNotificationWindow, nullptr);
    StartHookHealing();
    EXPECT_EQ(SessionNotificationWindow, MainWindow);
    EXPECT_TRUE(KillTimer(MainWindow, WatchdogTimerId));
}
} // namespace
