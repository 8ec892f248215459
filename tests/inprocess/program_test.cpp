// The real start-up, resources and hook of the program, driven in this process.
#include "app/startup.h"
#include "app/state.h"
#include "hook/state.h"
#include "hook/wheel_hook.h"
#include "quindle_version.h"
#include "resource.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{
TEST(Program, StartUpCreatesTheHiddenToolWindow)
{
    ASSERT_NE(MainWindow, nullptr);
    EXPECT_EQ(ClassOf(MainWindow), L"Quindle");
    EXPECT_EQ(TitleOf(MainWindow), L"Quindle");
    RECT bounds;
    GetWindowRect(MainWindow, &bounds);
    EXPECT_EQ(bounds.right - bounds.left, 0);
    EXPECT_EQ(bounds.bottom - bounds.top, 0);
    EXPECT_TRUE(GetWindowLongPtrW(MainWindow, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(GetWindowLongPtrW(MainWindow, GWL_STYLE) & WS_POPUP);
    EXPECT_EQ(GetMenu(MainWindow), nullptr);
    EXPECT_EQ(GetParent(MainWindow), nullptr);
    EXPECT_NE(WheelHookHandle, nullptr);
    EXPECT_NE(RefreshTimer, 0u); // the refresh timer runs
    EXPECT_NE(ModulePath[0], L'\0');
}

// Another copy's guard is refused while that copy holds it, and taken once it has ended
// holding it, as a copy that was killed does.
TEST(Program, AnotherCopysGuardIsTakenOnlyOnceItEnds)
{
    Swapped guard(RunningGuard, nullptr);
    Swapped name(RunningGuardName, L"Local\\Quindle in-process tests, another copy");
    HANDLE theirs = CreateMutexW(NULL, TRUE, RunningGuardName); // this thread plays the other copy
    bool taken = true;
    std::thread([&] { taken = TakeRunningGuard(); }).join();
    EXPECT_FALSE(taken);
    ReleaseMutex(theirs);
    std::thread([&] { WaitForSingleObject(theirs, INFINITE); }).join(); // it ends holding the guard
    EXPECT_TRUE(TakeRunningGuard());
    CloseHandle(RunningGuard);
    CloseHandle(theirs);
}

TEST(Program, ResourcesLoadAsListed)
{
    HINSTANCE instance = GetModuleHandleW(NULL);
    for (UINT id : {IDS_WINDOW_TITLE, IDS_SPARE_TITLE, IDS_WINDOW_CLASS})
    {
        wchar_t text[100] = L"";
        EXPECT_EQ(LoadStringW(instance, id, text, 100), 7) << id;
        EXPECT_STREQ(text, L"Quindle") << id;
    }
    EXPECT_EQ(LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_QUINDLE)), nullptr);
    EXPECT_EQ(LoadMenuW(instance, MAKEINTRESOURCEW(IDC_QUINDLE)), nullptr);

    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_TRAYMENU));
    ASSERT_NE(menu, nullptr);
    wchar_t text[100] = L"";
    GetMenuStringW(menu, 0, text, 100, MF_BYPOSITION);
    EXPECT_STREQ(text, L"菜单");
    HMENU popup = GetSubMenu(menu, 0);
    const struct
    {
        UINT id; // 0: separator
        const wchar_t *text;
    } items[] = {{IDM_AUTOSTART, L"开机自启(&R)"},
                 {0, L""},
                 {IDM_RUNASADMIN, L"以管理员权限运行(&A)"},
                 {IDM_PAUSE, L"暂停"},
                 {IDM_REHOOK, L"重新HOOK"},
                 {0, L""},
                 {IDM_ABOUT, L"关于(&G)-V" QUINDLE_VERSION},
                 {IDM_EXIT, L"退出(&X)"}};
    ASSERT_EQ(GetMenuItemCount(popup), 8);
    for (int position = 0; position < 8; ++position)
    {
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 100;
        text[0] = L'\0';
        ASSERT_TRUE(GetMenuItemInfoW(popup, position, TRUE, &info));
        EXPECT_EQ(info.fType & MFT_SEPARATOR, items[position].id == 0 ? UINT(MFT_SEPARATOR) : 0u) << position;
        EXPECT_EQ(info.wID, items[position].id) << position;
        EXPECT_STREQ(text, items[position].text) << position;
        bool separator = items[position].id == 0; // the system greys separators itself
        EXPECT_TRUE(separator || (info.fState & (MFS_CHECKED | MFS_DISABLED)) == 0) << position;
    }
    DestroyMenu(menu);

    EXPECT_NE(FindResourceExW(instance, RT_STRING, MAKEINTRESOURCEW(IDS_WINDOW_CLASS / 16 + 1), Chinese),
              nullptr);
    EXPECT_NE(FindResourceExW(instance, RT_MENU, MAKEINTRESOURCEW(IDR_TRAYMENU), Chinese), nullptr);
    HRSRC manifest = FindResourceExW(instance, RT_MANIFEST, MAKEINTRESOURCEW(1), 1033);
    ASSERT_NE(manifest, nullptr);
    std::string xml(static_cast<const char *>(LockResource(LoadResource(instance, manifest))),
                    SizeofResource(instance, manifest));
    EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(xml.find("uiAccess=\"false\""), std::string::npos);
}

TEST(Program, EachIconGroupHoldsNineSizes)
{
    std::vector<std::string> directories;
    for (UINT group : {IDI_APPICON, IDI_EXITICON, IDI_TRAYICON})
    {
        std::vector<IconImage> images = IconGroupImages(group, Chinese);
        ASSERT_EQ(images.size(), 9u) << group;
        std::vector<int> sizes;
        directories.emplace_back();
        for (const IconImage &image : images)
        {
            directories.back().append(reinterpret_cast<const char *>(&image.Entry), sizeof image.Entry);
            int size = image.Entry.width == 0 ? 256 : image.Entry.width;
            sizes.push_back(size);
            EXPECT_EQ(image.Entry.bitCount, 32) << group << " " << size;
            ASSERT_NE(image.Bytes, nullptr);
            bool png = memcmp(image.Bytes, "\x89PNG", 4) == 0;
            EXPECT_EQ(png, size == 256) << group << " " << size; // only the largest is PNG
            if (!png)
            {
                EXPECT_EQ(reinterpret_cast<const BITMAPINFOHEADER *>(image.Bytes)->biBitCount, 32);
            }
        }
        EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 72, 96, 128, 256})) << group;
    }
    EXPECT_EQ(directories[2], directories[0]); // the tray's group names the very images of the program's
}

TEST(Program, InstallAndRemoveKeepOneHook)
{
    InstallWheelHook();
    HHOOK first = WheelHookHandle;
    ASSERT_NE(first, nullptr);
    InstallWheelHook(); // over a hook still in place: the old one goes
    EXPECT_NE(WheelHookHandle, nullptr);
    EXPECT_FALSE(UnhookWindowsHookEx(first));
    RemoveWheelHook();
    EXPECT_EQ(WheelHookHandle, nullptr);
    RemoveWheelHook();
    EXPECT_EQ(WheelHookHandle, nullptr);
    InstallWheelHook();
    EXPECT_NE(WheelHookHandle, nullptr);
}

TEST(Program, HookPostsToTheTaskbarUnderThePointer)
{
    HWND bar = ShowFakeTaskbar(L"MSTaskListWClass");
    ASSERT_EQ(WindowFromPoint(POINT{250, 120}), bar);
    NtVersion = {10, 0, 19045};
    InstallWheelHook();
    // The middle press that mutes, and its release, are not passed on: a middle click on a
    // taskbar button would open another window of its program.
    const struct
    {
        const char *name;
        INPUT input;
        std::vector<LPARAM> expected;
        std::vector<UINT> passed; // what reached the window
    } cases[] = {
        {"wheel up", MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA), {0x000A0000}, {WM_MOUSEWHEEL}},
        {"wheel down", MouseInput(MOUSEEVENTF_WHEEL, DWORD(-WHEEL_DELTA)), {0x00090000}, {WM_MOUSEWHEEL}},
        {"middle press", MouseInput(MOUSEEVENTF_MIDDLEDOWN), {0x00080000}, {}},
        {"middle release", MouseInput(MOUSEEVENTF_MIDDLEUP), {}, {}},
        {"injected middle press", MouseInput(MOUSEEVENTF_MIDDLEDOWN, 0, 0x5157), {}, {WM_MBUTTONDOWN}},
        {"its release", MouseInput(MOUSEEVENTF_MIDDLEUP, 0, 0x5157), {}, {WM_MBUTTONUP}},
        {"a release with no press", MouseInput(MOUSEEVENTF_MIDDLEUP), {}, {WM_MBUTTONUP}},
        {"horizontal wheel", MouseInput(MOUSEEVENTF_HWHEEL, WHEEL_DELTA), {}, {WM_MOUSEHWHEEL}},
        {"right press", MouseInput(MOUSEEVENTF_RIGHTDOWN), {}, {WM_RBUTTONDOWN}},
        {"right release", MouseInput(MOUSEEVENTF_RIGHTUP), {}, {WM_RBUTTONUP}},
        {"a third of a notch", MouseInput(MOUSEEVENTF_WHEEL, 40), {}, {WM_MOUSEWHEEL}},
        {"another third", MouseInput(MOUSEEVENTF_WHEEL, 40), {}, {WM_MOUSEWHEEL}},
        {"the last third", MouseInput(MOUSEEVENTF_WHEEL, 40), {0x000A0000}, {WM_MOUSEWHEEL}},
    };
    for (const auto &c : cases)
    {
        WindowUnderCursor = NULL; // only the wheel and the middle press look under the pointer
        EXPECT_EQ(CommandsFor(c.input), c.expected) << c.name;
        EXPECT_EQ(ReceivedInputs, c.passed) << c.name;
        bool looks = c.input.mi.dwFlags & (MOUSEEVENTF_WHEEL | MOUSEEVENTF_MIDDLEDOWN);
        EXPECT_EQ(WindowUnderCursor, looks ? bar : NULL) << c.name;
    }

    // A press the hook never saw (paused) keeps its release, even after one that muted;
    // parts of a notch turned before the pause are not made whole after it.
    CommandsFor(MouseInput(MOUSEEVENTF_MIDDLEDOWN));
    CommandsFor(MouseInput(MOUSEEVENTF_WHEEL, 80));
    RemoveWheelHook();
    CommandsFor(MouseInput(MOUSEEVENTF_MIDDLEDOWN));
    InstallWheelHook();
    CommandsFor(MouseInput(MOUSEEVENTF_MIDDLEUP));
    EXPECT_EQ(ReceivedInputs, std::vector<UINT>{WM_MBUTTONUP});
    EXPECT_EQ(CommandsFor(MouseInput(MOUSEEVENTF_WHEEL, 40)), std::vector<LPARAM>{});

    // On build 22000 the same bar is no taskbar; the hook still reads its class.
    NtVersion = {10, 0, 22000};
    InstallWheelHook();
    ClassUnderCursor[0] = L'\0';
    EXPECT_EQ(CommandsFor(MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA)), std::vector<LPARAM>{});
    EXPECT_STREQ(ClassUnderCursor, L"MSTaskListWClass");
    DestroyWindow(bar);

    // Taskbars host their content in child windows; the command goes to the taskbar. From
    // 22H2 the wheel over it is not passed on: the taskbar would turn the volume too.
    const wchar_t *Content = L"Windows.UI.Composition.DesktopWindowContentBridge",
                  *Input = L"Windows.UI.Input.InputSite.WindowClass", *Secondary = L"Shell_SecondaryTrayWnd",
                  *TaskList = L"MSTaskListWClass";
    const std::vector<UINT> Wheel = {WM_MOUSEWHEEL}, Eaten;
    const struct
    {
        const char *name;
        DWORD build;
        const wchar_t *bar;
        std::vector<const wchar_t *> children;
        const std::vector<LPARAM> &commands;
        const std::vector<UINT> &passed; // what reached the window under the pointer
    } trees[] = {
        {"22000: in the rebar", 22000, L"ReBarWindow32", {L"MSTaskSwWClass", TaskList}, OneUp, Wheel},
        {"22000: another monitor's taskbar", 22000, Secondary, {L"WorkerW", TaskList}, OneUp, Wheel},
        {"Windows 11: another monitor's taskbar", 22621, Secondary, {Content, Input}, OneUp, Eaten},
        {"Windows 11: no taskbar", 22621, TaskList, {}, None, Wheel},
        {"Windows 10: outside the task list", 19045, Secondary, {L"TrayNotifyWnd"}, None, Wheel},
    };
    for (const auto &c : trees)
    {
        bar = ShowFakeTaskbar(c.bar, c.children);
        NtVersion = {10, 0, c.build};
        InstallWheelHook();
        EXPECT_EQ(CommandsFor(MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA)), c.commands) << c.name;
        EXPECT_EQ(ReceivedInputs, c.passed) << c.name;
        DestroyWindow(bar);
    }
    NtVersion = {10, 0, 19045};
    InstallWheelHook();
}

// Start-up limits DLL loading to System32: a DLL planted in the program's folder and
// in the current directory is not loaded by name, though it is there to be found.
TEST(Program, APlantedDllIsNotLoaded)
{
    std::wstring planted = ProgramFolder() + L"\\planted.dll";
    std::wstring current = ScratchFolder(L"planted");
    ASSERT_TRUE(CopyFileW(planted.c_str(), (current + L"\\planted.dll").c_str(), FALSE));
    SetCurrentDirectoryW(current.c_str());
    // The DLL names itself in this variable when it is loaded.
    auto loaded = [] {
        wchar_t path[MAX_PATH] = L"";
        GetEnvironmentVariableW(L"QUINDLE_PLANTED_LOADED", path, MAX_PATH);
        return std::wstring(path);
    };
    SetEnvironmentVariableW(L"QUINDLE_PLANTED_LOADED", NULL);

    EXPECT_EQ(LoadLibraryW(L"planted.dll"), nullptr);
    EXPECT_EQ(LoadLibraryExW(L"planted.dll", NULL, 0), nullptr);
    EXPECT_EQ(loaded(), L"");

    // It is a DLL that loads when its folder is asked for: the test can see a load.
    HMODULE asked = LoadLibraryExW(L"planted.dll", NULL, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    EXPECT_NE(asked, nullptr);
    EXPECT_EQ(loaded(), planted);
    if (asked != NULL)
        FreeLibrary(asked);
    SetEnvironmentVariableW(L"QUINDLE_PLANTED_LOADED", NULL);
    SetCurrentDirectoryW(SandboxFolder().c_str());
}
} // namespace
