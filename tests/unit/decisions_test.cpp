// The pure decisions of the program, one table each.
#include "hook/state.h"
#include "hook/upkeep.h"
#include "hook/version.h"
#include "hook/wheel_hook.h"
#include "settings/admin.h"
#include "settings/autostart.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

void PrintTo(RunValueOwner owner, std::ostream *out)
{
    *out << (owner == ThisVersion    ? "ThisVersion"
             : owner == OtherVersion ? "OtherVersion"
                                     : "NotThisProgram");
}

namespace
{
TEST(Decisions, TaskbarClassForEachBuild)
{
    const struct
    {
        DWORD major, minor, build;
        const wchar_t *expected; // nullptr: no taskbar class
    } cases[] = {
        {10, 0, 0, L"MSTaskListWClass"},
        {10, 0, 19045, L"MSTaskListWClass"},
        {10, 0, 21390, L"MSTaskListWClass"},
        {10, 0, 21391, nullptr},
        {10, 0, 21999, nullptr},
        {10, 0, 22000, L"ReBarWindow32"},
        {10, 0, 22001, nullptr},
        {10, 0, 22620, nullptr},
        {10, 0, 22621, L"Shell_TrayWnd"},
        {10, 0, 26100, L"Shell_TrayWnd"},
        {10, 0, 65535, L"Shell_TrayWnd"},
        {6, 3, 9600, nullptr},
        {6, 1, 7601, nullptr},
        {11, 0, 22621, nullptr},
        {10, 1, 19045, nullptr},
        {0, 0, 0, nullptr},
    };
    for (const auto &c : cases)
    {
        const wchar_t *chosen = ChooseTaskbarClass(c.major, c.minor, c.build);
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << "." << c.build);
        EXPECT_STREQ(chosen, c.expected); // both null, or the same text
        // From 22H2 the taskbar turns the volume itself over its speaker icon.
        EXPECT_EQ(TaskbarTurnsVolumeItself(chosen ? chosen : L""), c.expected != nullptr && c.build >= 22621);
    }
}

// From the target as the process starts with it: nothing before this selects one.
TEST(Decisions, SelectingWithNoRuleLeavesTheTargetEmpty)
{
    NtVersion = {10, 0, 22620};
    SelectTargetClass();
    EXPECT_STREQ(TargetClassName, L"");
    NtVersion = {10, 0, 22000};
    SelectTargetClass();
    EXPECT_STREQ(TargetClassName, L"ReBarWindow32");
}

constexpr DWORD WheelUp = 120u << 16, WheelDown = 0xFF88u << 16, WheelFar = 0xFC40u << 16;
constexpr const wchar_t *Bar = L"MSTaskListWClass";

TEST(Decisions, CommandForEachMouseEvent)
{
    const struct
    {
        const char *name;
        WPARAM message;
        bool hasEvent;
        DWORD mouseData;
        ULONG_PTR extraInfo;
        bool overTaskbar;
        UINT expected;
    } cases[] = {
        {"wheel away from the user", WM_MOUSEWHEEL, true, WheelUp, 0, true, APPCOMMAND_VOLUME_UP},
        {"wheel towards the user", WM_MOUSEWHEEL, true, WheelDown, 0, true, APPCOMMAND_VOLUME_DOWN},
        {"a big turn is still one step", WM_MOUSEWHEEL, true, WheelFar, 0, true, APPCOMMAND_VOLUME_DOWN},
        {"zero delta counts as up", WM_MOUSEWHEEL, true, 0, 0, true, APPCOMMAND_VOLUME_UP},
        {"injected wheel still counts", WM_MOUSEWHEEL, true, WheelUp, 7, true, APPCOMMAND_VOLUME_UP},
        {"wheel without event data", WM_MOUSEWHEEL, false, 0, 0, true, 0},
        {"middle press by the device", WM_MBUTTONDOWN, true, 0, 0, true, APPCOMMAND_VOLUME_MUTE},
        {"middle press injected", WM_MBUTTONDOWN, true, 0, 1, true, 0},
        {"middle press without event data", WM_MBUTTONDOWN, false, 0, 0, true, 0},
        {"middle release", WM_MBUTTONUP, true, 0, 0, true, 0},
        {"horizontal wheel", WM_MOUSEHWHEEL, true, WheelUp, 0, true, 0},
        {"move", WM_MOUSEMOVE, true, 0, 0, true, 0},
        {"left press", WM_LBUTTONDOWN, true, 0, 0, true, 0},
        {"right press", WM_RBUTTONDOWN, true, 0, 0, true, 0},
        {"right release", WM_RBUTTONUP, true, 0, 0, true, 0},
        {"x button", WM_XBUTTONDOWN, true, 0, 0, true, 0},
        {"wheel over another window", WM_MOUSEWHEEL, true, WheelUp, 0, false, 0},
        {"middle press over another window", WM_MBUTTONDOWN, true, 0, 0, false, 0},
    };
    for (const auto &c : cases)
    {
        MSLLHOOKSTRUCT event{};
        event.mouseData = c.mouseData;
        event.dwExtraInfo = c.extraInfo;
        int parts = 0;
        EXPECT_EQ(ChooseVolumeCommand(c.message, c.hasEvent ? &event : nullptr, c.overTaskbar, &parts),
                  c.expected)
            << c.name;
    }
    // A wheel event away from the taskbar ends a touchpad's gesture over it.
    MSLLHOOKSTRUCT part{{}, 60u << 16, 0, 0, 0};
    int parts = 60;
    EXPECT_EQ(ChooseVolumeCommand(WM_MOUSEWHEEL, &part, false, &parts) + parts, 0);
}

// Touchpads and high-resolution wheels send parts of a notch: one command per notch's worth.
TEST(Decisions, PartsOfANotchAddUp)
{
    const std::pair<std::vector<int>, std::string> cases[] = {
        {{40, 40, 40}, "--U"},                                  // three thirds up
        {{-30, -30, -30, -30, -30, -30, -30, -30}, "---D---D"}, // eight quarters down
        {{60, -60, 60, -60, -60, 60, 60}, "----D-U"},           // halves, back and forth
        {{40, 360, 40, 40}, "-U--"},                            // one event of three notches
        {{100, -120, 100, 20}, "-D-U"},                         // a part, a whole notch, a part
        {{80, 0, 40}, "-UU"},                                   // no delta: up, the parts kept
        {{50, 50, 50, 50, 50}, "--U-U"},                        // parts that do not divide a notch
    };
    for (const auto &[deltas, expected] : cases)
    {
        std::string seen;
        WheelTurn turn{0, 0};
        for (int delta : deltas)
        {
            turn = CountWheelDelta(turn.Parts, delta);
            seen += turn.Command == APPCOMMAND_VOLUME_UP     ? 'U'
                    : turn.Command == APPCOMMAND_VOLUME_DOWN ? 'D'
                                                             : '-';
        }
        EXPECT_EQ(seen, expected) << testing::PrintToString(deltas);
    }
}

TEST(Decisions, WhichClassCountsAsTheTaskbar)
{
    const wchar_t *Tray = L"Shell_TrayWnd", *Secondary = L"Shell_SecondaryTrayWnd";
    const struct
    {
        const char *name;
        const wchar_t *className, *target;
        bool counts;
    } cases[] = {
        {"the target itself", Bar, Bar, true},
        {"another window", Tray, Bar, false},
        {"letter case differs", L"mstasklistwclass", Bar, false},
        {"longer name", L"MSTaskListWClass2", Bar, false},
        {"unreadable window, no target", L"", L"", false},
        {"unreadable window", L"", Bar, false},
        {"no target on this build", Bar, L"", false},
        {"a further monitor's taskbar, Windows 11", Secondary, Tray, true},
        {"a further monitor's taskbar, Windows 10", Secondary, Bar, false},
        {"a further monitor's taskbar, build 22000", Secondary, L"ReBarWindow32", true},
        {"the taskbar's content window", L"Windows.UI.Input.InputSite.WindowClass", Tray, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CountsAsTaskbar(c.className, c.target), c.counts) << c.name;
}

// A window that is gone, or none at all, must not leave a stale class to match.
TEST(Decisions, UnreadableWindowLeavesNoClassBehind)
{
    HWND gone = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    ASSERT_NE(gone, nullptr);
    DestroyWindow(gone);
    for (HWND window : {HWND(NULL), gone})
    {
        wchar_t name[ClassNameLength] = L"MSTaskListWClass";
        ReadClassName(window, name);
        EXPECT_STREQ(name, L"");
        EXPECT_FALSE(CountsAsTaskbar(name, Bar));
    }
}
TEST(Decisions, ElevationGate)
{
    const struct
    {
        UINT flag;
        bool elevated, relaunch;
    } cases[] = {{1, false, true},  {1, true, false},           {0, false, false}, {0, true, false},
                 {2, false, false}, {0xFFFFFFFF, false, false}, {11, false, false}};
    for (const auto &c : cases)
        EXPECT_EQ(MustRelaunchElevated(c.flag, c.elevated), c.relaunch) << c.flag << " " << c.elevated;
}

TEST(Decisions, RelaunchErrorsTheUserIsTold)
{
    const struct
    {
        DWORD error;
        const wchar_t *text; // nullptr: the system's text for it, without a line end, then its number
    } cases[] = {{ERROR_CANCELLED, L"ShellExecute Cancel.."},
                 {ERROR_FILE_NOT_FOUND, L"File Not Found"},
                 {ERROR_SUCCESS, nullptr},
                 {ERROR_PATH_NOT_FOUND, nullptr},
                 {ERROR_ACCESS_DENIED, nullptr},
                 {ERROR_NO_ASSOCIATION, nullptr},
                 {ERROR_ELEVATION_REQUIRED, L"未能获得管理员权限"},
                 {0x2000FFFF /* none the system knows */, L"Error 536936447"}};
    for (const auto &c : cases)
    {
        std::wstring said = DescribeRelaunchError(c.error), number = L" (" + std::to_wstring(c.error) + L")";
        size_t end = said.size() - std::min(said.size(), number.size() + 1);
        EXPECT_TRUE(c.text ? said == c.text : said[end] > L' ' && said.substr(end + 1) == number) << c.error;
    }
}

TEST(Decisions, ACopyOfAnotherAccountShowsTheSignedInUsersAutostart)
{
    const wchar_t *Me = L"S-1-5-21-1-2-3-1001";
    for (const wchar_t *other : {L"S-1-5-21-1-2-3-1002", L"S-1-12-1-1-2-3-4" /* Entra ID */})
        EXPECT_EQ(ChooseSignedInHive(Me, other), other);
    EXPECT_EQ(ChooseSignedInHive(L"", Me), L""); // who this process is: unknown
    // Not this account, none, SYSTEM, a group, a domain, another authority, nor text that is no SID.
    for (const wchar_t *signedIn : {Me, L"", L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-21-1-2-3",
                                    L"S-1-12-2-1-2-3-4", L"BA", L"..\\S-1-5-21-1-2-3-1002"})
        EXPECT_EQ(ChooseSignedInHive(Me, signedIn), L"") << signedIn;
    SID system{1, 1, SECURITY_NT_AUTHORITY, {18}}, local{1, 1, SECURITY_NT_AUTHORITY, {19}}; // the shell's: 8
    WTS_PROCESS_INFOW processes[] = {{1, 4, nullptr, &system}, {1, 8, nullptr, &local}};
    for (auto [shell, user] : {std::pair(4, L"S-1-5-18"), std::pair(8, L"S-1-5-19"), std::pair(12, L"")})
        EXPECT_EQ(FindProcessUser(processes, 2, shell), user) << shell;
}

TEST(Decisions, RelaunchAsksForAnElevatedCopyInThisDirectory)
{
    SHELLEXECUTEINFOW relaunch = DescribeRelaunch(NULL, L"C:\\Q.exe", L"D:\\Work", L"--elevated S-1");
    EXPECT_EQ(relaunch.cbSize, 112u);
    EXPECT_EQ(relaunch.fMask, ULONG(SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC)); // this copy ends right after
    EXPECT_STREQ(relaunch.lpVerb, L"runas");
    EXPECT_STREQ(relaunch.lpFile, L"C:\\Q.exe");
    EXPECT_STREQ(relaunch.lpParameters, L"--elevated S-1");
    EXPECT_STREQ(relaunch.lpDirectory, L"D:\\Work");
    EXPECT_EQ(relaunch.nShow, SW_HIDE);
}

TEST(Decisions, RunValueNamesThisProgram)
{
    const wchar_t *program = L"C:\\Program Files\\Quindle\\Quindle.exe";
    const struct
    {
        const wchar_t *stored, *program;
        bool names;
    } cases[] = {
        {L"C:\\Program Files\\Quindle\\Quindle.exe", program, true},
        {L"\"C:\\Program Files\\Quindle\\Quindle.exe\"", program, true},
        {L"c:\\program files\\quindle\\quindle.exe", program, false},
        {L"\"c:\\program files\\quindle\\quindle.exe\"", program, false},
        {L"\"C:\\Program Files\\Quindle\\Quindle.exe", program, false},
        {L"C:\\Program Files\\Quindle\\Quindle.exe\"", program, false},
        {L"\"C:\\Program Files\\Quindle\\Quindle.exe\" --tray", program, false},
        {L"\"C:\\Program Files\\Quindle\\Quindle.exe\"\"", program, false},
        {L"C:\\Program Files\\Quindle\\Quindle.exe ", program, false},
        {L"C:\\Program Files\\Quindle\\Quindle.ex", program, false},
        {L"D:\\Quindle.exe", program, false},
        {L"", program, false},
        {L"\"\"", program, false},
        {L"", L"", false},
        {L"\"\"", L"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NamesThisProgram(c.stored, c.program), c.names)
            << testing::PrintToString(std::wstring(c.stored));
}

// Any version's name counts as this program's, if its data names this program as above.
TEST(Decisions, WhoseRunValueItIs)
{
    const wchar_t *program = L"C:\\Quindle\\Quindle.exe", *quoted = L"\"C:\\Quindle\\Quindle.exe\"";
    const struct
    {
        const wchar_t *name, *data;
        RunValueOwner owner;
    } cases[] = {
        {L"Quindle V1.25", quoted, ThisVersion},
        {L"quindle v1.24", program, OtherVersion},
        {L"Quindle V2", quoted, OtherVersion},
        {L"Quindle V1.24", L"D:\\Quindle.exe", NotThisProgram},
        {L"Other", quoted, NotThisProgram},
        {L"Quindle V", quoted, NotThisProgram},
        {L"Quindle V1.24 beta", quoted, NotThisProgram},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClassifyRunValue(c.name, c.data, program, L"Quindle V1.25"), c.owner)
            << testing::PrintToString(std::wstring(c.name));
}

TEST(Decisions, TheSettingsFileLivesHereOrBesideTheProgramAtASignInStart)
{
    const wchar_t *System = L"C:\\windows\\system32", *Program = L"C:\\Program Files\\Quindle\\Quindle.exe";
    const wchar_t *Beside = L"C:\\Program Files\\Quindle\\setting.ini", *Here = L".\\setting.ini";
    const struct
    {
        const wchar_t *current, *system, *program, *file;
    } cases[] = {
        {L"C:\\windows\\system32", System, Program, Beside},
        {L"C:\\WINDOWS\\System32", System, Program, Beside},
        {L"c:\\Windows\\SYSTEM32\\", L"C:\\Windows\\System32\\", Program, Beside},
        {L"C:\\windows\\system32\\drivers", System, Program, Here},
        {L"C:\\windows", System, Program, Here},
        {L"C:\\windows\\system3", System, Program, Here},
        {L"D:\\Work", System, Program, Here},
        {L"C:\\windows\\system32", System, L"", Here},
        {L"C:\\windows\\system32", System, L"Quindle.exe", Here},
        {L"", L"", Program, Here},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ChooseSettingsFile(c.current, c.system, c.program), c.file)
            << c.current << " " << c.program;
}

// Task Manager's approval value turns a start off only when binary, with the low bit of its
// first byte set.
TEST(Decisions, ApprovalValuesThatTurnTheStartOff)
{
    const struct
    {
        DWORD type;
        std::string data;
        bool disabled;
    } cases[] = {
        {REG_BINARY, std::string("\x02\0\0", 3), false},
        {REG_BINARY, "\x01", true},
        {REG_BINARY, "\x06", false},
        {REG_BINARY, std::string("\x07\0\0\0\x40\xC3\xD1\xAA\x7B\x4B\xDB\x01", 12), true},
        {REG_BINARY, "", false},
        {REG_BINARY, "\x03" + std::string(300, '\1'), true},
        {REG_SZ, std::string("\x03\0\0", 4), false},
        {REG_DWORD, std::string("\x03\0\0\0", 4), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(
            IsApprovalDisabled(c.type, reinterpret_cast<const BYTE *>(c.data.data()), DWORD(c.data.size())),
            c.disabled)
            << c.type << " " << testing::PrintToString(c.data.substr(0, 4));
    EXPECT_FALSE(IsApprovalDisabled(REG_BINARY, nullptr, 1));
}

// Only a move the hook missed means that Windows dropped it; an unread pointer means nothing.
TEST(Decisions, WatchdogVerdict)
{
    const struct
    {
        WatchdogSample then, now;
        bool dropped;
    } cases[] = {
        {{true, {5, 5}, 7}, {true, {5, 6}, 7}, true},   {{true, {5, 5}, 7}, {true, {5, 5}, 7}, false},
        {{true, {5, 5}, 7}, {true, {6, 5}, 8}, false},  {{false, {5, 5}, 7}, {true, {6, 5}, 7}, false},
        {{true, {5, 5}, 7}, {false, {6, 5}, 7}, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HookSeemsDropped(c.then, c.now), c.dropped) << &c - cases;
}
} // namespace
