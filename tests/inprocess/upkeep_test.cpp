// The upkeep of the hook: pause, re-hook and its notice, the timed refresh, and bringing
// back a hook that Windows dropped.
#include "app/state.h"
#include "app/tray.h"
#include "hook/state.h"
#include "hook/upkeep.h"
#include "resource.h"

#include "support.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
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
    UINT_PTR watch = WatchNotice(false);
    long blocks = LiveBlocks;
    RehookWithNotice(); // returns when the notice has closed itself
    ULONGLONG onScreen = GetTickCount64() - Notice.ShownAt;
    KillTimer(NULL, watch);
    EXPECT_TRUE(PumpUntil([blocks] { return LiveBlocks == blocks; })) << "the closer frees its request";
    EXPECT_EQ(Notice.Text, L"HOOK 成功");
    // The closer's second, less the box's own start, plus its closing: 0.5 s either way
    // covers a slow Wine, and a notice left up 2.5 s is well outside.
    EXPECT_GE(onScreen, 500u);
    EXPECT_LE(onScreen, 1500u);
    EXPECT_EQ(PauseLabel(), L"暂停");
    EXPECT_TRUE(HookActive);
    EXPECT_NE(WheelHookHandle, nullptr);
}

int NestedCommand;

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
        SetTimer(NULL, 0, 200, [](HWND, UINT, UINT_PTR timer, DWORD) {
            KillTimer(NULL, timer);
            LastMenuCommand = NestedCommand;
            HandleMenuCommand();
        });
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
    UINT_PTR watch = WatchNotice(false);
    HeldMenus.reserve(70000);
    while (HMENU menu = CreateMenu())
        HeldMenus.push_back(menu);
    BeforeNextAllocation = [] {
        for (HMENU menu : HeldMenus)
            DestroyMenu(menu);
        HeldMenus.clear();
    };
    RehookWithNotice();
    KillTimer(NULL, watch);
    EXPECT_EQ(Notice.Text, L"HOOK 失败");
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
        // A notice shown now would have no closer: the watch closes it, so the test fails
        // instead of hanging.
        UINT_PTR rescue = WatchNotice(true);
        AllocationsAllowed = allowed;
        RehookWithNotice();
        AllocationsAllowed = -1;
        KillTimer(NULL, rescue);
        EXPECT_EQ(Notice.ShownAt, 0u) << allowed;
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
