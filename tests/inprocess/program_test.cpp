// The real start-up, resources and hook of the program, driven in this process.
#include "app/startup.h"
#include "app/state.h"
#include "hook/state.h"
#include "hook/wheel_hook.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
// Pumps this thread's messages until done() holds or the deadline passes.
template <typename Condition> bool PumpUntil(Condition done, DWORD milliseconds = 3000)
{
    ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (!done())
    {
        if (GetTickCount64() > deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = L"";
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring TitleOf(HWND window)
{
    wchar_t title[256] = L"";
    GetWindowTextW(window, title, 256);
    return title;
}

// Start-up runs once for the whole file, as in the program; WM_QUIT is already
// waiting, so the message loop returns at once and leaves everything in place.
class Program : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        StartProcess();
        PostQuitMessage(0);
        ExitCode = RunProgram(GetModuleHandleW(NULL), SW_SHOWDEFAULT);
    }
    static inline int ExitCode = -1;
};

TEST_F(Program, StartUpCreatesTheHiddenToolWindow)
{
    EXPECT_EQ(ExitCode, 0);
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
    EXPECT_NE(ModulePath[0], L'\0');
}

TEST_F(Program, ResourcesLoadAsListed)
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
                 {IDM_ABOUT, L"关于(&G)-V1.24"},
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

    const WORD Chinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
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

#pragma pack(push, 2)
struct GroupIconEntry
{
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(Program, EachIconGroupHoldsNineSizes)
{
    HINSTANCE instance = GetModuleHandleW(NULL);
    const WORD Chinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
    for (UINT group : {IDI_APPICON, IDI_EXITICON, IDI_TRAYICON})
    {
        HRSRC found = FindResourceExW(instance, RT_GROUP_ICON, MAKEINTRESOURCEW(group), Chinese);
        ASSERT_NE(found, nullptr) << group;
        auto directory = static_cast<const BYTE *>(LockResource(LoadResource(instance, found)));
        WORD count = *reinterpret_cast<const WORD *>(directory + 4);
        ASSERT_EQ(count, 9) << group;
        std::vector<int> sizes;
        for (WORD i = 0; i < count; ++i)
        {
            GroupIconEntry entry;
            memcpy(&entry, directory + 6 + i * sizeof entry, sizeof entry);
            int size = entry.width == 0 ? 256 : entry.width;
            sizes.push_back(size);
            EXPECT_EQ(entry.bitCount, 32) << group << " " << size;
            HRSRC image = FindResourceW(instance, MAKEINTRESOURCEW(entry.id), RT_ICON);
            ASSERT_NE(image, nullptr);
            auto bytes = static_cast<const BYTE *>(LockResource(LoadResource(instance, image)));
            bool png = memcmp(bytes, "\x89PNG", 4) == 0;
            EXPECT_EQ(png, size == 256) << group << " " << size; // only the largest is PNG
            if (!png)
            {
                EXPECT_EQ(reinterpret_cast<const BITMAPINFOHEADER *>(bytes)->biBitCount, 32);
            }
        }
        EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 72, 96, 128, 256})) << group;
    }
}

TEST_F(Program, InstallAndRemoveKeepOneHook)
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

// A taskbar of this process's own, under the pointer, collects what the hook posts.
std::vector<LPARAM> Received;

LRESULT CALLBACK FakeTaskbarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APPCOMMAND)
    {
        Received.push_back(lParam);
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

INPUT MouseInput(DWORD flags, DWORD data, ULONG_PTR extraInfo)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    input.mi.mouseData = data;
    input.mi.dwExtraInfo = extraInfo;
    return input;
}

TEST_F(Program, HookPostsToTheTaskbarUnderThePointer)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = FakeTaskbarProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"MSTaskListWClass";
    RegisterClassW(&windowClass);
    HWND bar =
        CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, L"MSTaskListWClass", L"", WS_POPUP | WS_VISIBLE,
                        100, 100, 300, 40, NULL, NULL, windowClass.hInstance, NULL);
    ASSERT_NE(bar, nullptr);
    NtVersion = {10, 0, 19045};
    InstallWheelHook();
    SetCursorPos(250, 120);
    ASSERT_TRUE(PumpUntil([&] { return WindowFromPoint(POINT{250, 120}) == bar; }));

    const struct
    {
        const char *name;
        INPUT input;
        LPARAM expected; // 0: nothing
    } cases[] = {
        {"wheel up", MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA, 0), 0x000A0000},
        {"wheel down", MouseInput(MOUSEEVENTF_WHEEL, DWORD(-WHEEL_DELTA), 0), 0x00090000},
        {"middle press", MouseInput(MOUSEEVENTF_MIDDLEDOWN, 0, 0), 0x00080000},
        {"middle release", MouseInput(MOUSEEVENTF_MIDDLEUP, 0, 0), 0},
        {"injected middle press", MouseInput(MOUSEEVENTF_MIDDLEDOWN, 0, 0x5157), 0},
        {"middle release again", MouseInput(MOUSEEVENTF_MIDDLEUP, 0, 0x5157), 0},
        {"horizontal wheel", MouseInput(MOUSEEVENTF_HWHEEL, WHEEL_DELTA, 0), 0},
        {"move", MouseInput(MOUSEEVENTF_MOVE, 0, 0), 0},
    };
    for (const auto &c : cases)
    {
        // Each case is followed by a wheel up whose arrival shows the case is through.
        Received.clear();
        INPUT inputs[2] = {c.input, MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA, 0)};
        SendInput(2, inputs, sizeof(INPUT));
        std::vector<LPARAM> expected;
        if (c.expected != 0) expected.push_back(c.expected);
        expected.push_back(0x000A0000);
        EXPECT_TRUE(PumpUntil([&] { return Received.size() >= expected.size(); })) << c.name;
        EXPECT_EQ(Received, expected) << c.name;
        EXPECT_EQ(WindowUnderCursor, bar);
    }

    // Another build's class: the same bar is no taskbar any more.
    NtVersion = {10, 0, 22000};
    TargetClassName[0] = L'\0';
    InstallWheelHook();
    Received.clear();
    ClassUnderCursor[0] = L'\0';
    INPUT wheel = MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA, 0);
    SendInput(1, &wheel, sizeof(INPUT));
    EXPECT_TRUE(PumpUntil([] { return ClassUnderCursor[0] != L'\0'; })); // the hook has seen it
    PumpUntil([] { return false; }, 50);                                 // anything it posted is in
    EXPECT_TRUE(Received.empty());
    DestroyWindow(bar);
}
} // namespace
