// The tray icon and the menu, on the program's real window and menu.
#include "app/about.h"
#include "app/state.h"
#include "app/startup.h"
#include "app/tray.h"
#include "hook/state.h"
#include "hook/upkeep.h"
#include "quindle_version.h"
#include "resource.h"
#include "settings/admin.h"

#include "support.h"

#include <gtest/gtest.h>

#include <mutex>
#include <utility>

namespace
{
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
    Swapped recordedDesktop(OpenAsDesktopUser, OpenedAsDesktopUser), recordedHere(OpenHere, OpenedHere);
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
    Reset();
}

// Elevated, the page opens through the desktop's shell, so that the browser runs as the
// signed-in user, and from here only where that fails; unelevated, from here. Never on the
// hook's thread.
TEST(Tray, AboutOpensThePageAsTheSignedInUser)
{
    Swapped recordedDesktop(OpenAsDesktopUser, OpenedAsDesktopUser), recordedHere(OpenHere, OpenedHere);
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
        UINT_PTR timer = SetTimer(NULL, 0, 100, [](HWND, UINT, UINT_PTR, DWORD) { EndMenu(); });
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
    Swapped window(MainWindow, nullptr);
    Swapped icon(TrayIcon, TrayIcon); // filled anew below
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
}
} // namespace
