// The settings file and the Run value, on the Wine prefix's real file system and registry.
#include "app/startup.h"
#include "app/state.h"
#include "app/tray.h"
#include "hook/state.h"
#include "hook/upkeep.h"
#include "hook/wheel_hook.h"
#include "resource.h"
#include "settings/admin.h"
#include "settings/autostart.h"
#include "settings/state.h"

#include "support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{
bool Checked(UINT item)
{
    return (GetMenuState(TrayMenu, item, MF_BYCOMMAND) & MF_CHECKED) != 0;
}

// A fresh, empty current directory of its own for each case.
std::wstring EnterFreshDirectory(const std::wstring &name)
{
    std::wstring folder = ScratchFolder(L"settings-" + name);
    std::wstring file = folder + L"\\setting.ini";
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(file.c_str());
    RemoveDirectoryW(file.c_str());
    SetCurrentDirectoryW(folder.c_str());
    return file;
}

void WriteBytes(const std::wstring &file, const std::string &bytes)
{
    std::ofstream(file.c_str(), std::ios::binary) << bytes;
}

std::wstring StoredFlag(const std::wstring &file)
{
    wchar_t value[64] = L"";
    GetPrivateProfileStringW(L"setting", L"Administrator", L"(none)", value, 64, file.c_str());
    return value;
}

enum class Kind
{
    Missing,
    Text,
    ReadOnly,
    Locked, // held open by another handle that shares nothing
    Folder
};

std::string Bytes(const std::wstring &file)
{
    std::ifstream in(file.c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Everything the file holds but the flag itself: what a toggle must leave alone.
std::wstring EverythingElse(const std::wstring &file)
{
    std::vector<wchar_t> buffer(Bytes(file).size() + 65536);
    DWORD size = static_cast<DWORD>(buffer.size());
    GetPrivateProfileSectionNamesW(buffer.data(), size, file.c_str());
    std::vector<std::wstring> sections;
    for (const wchar_t *name = buffer.data(); *name; name += wcslen(name) + 1)
        sections.push_back(name);
    std::wstring rest;
    for (const std::wstring &section : sections)
    {
        GetPrivateProfileSectionW(section.c_str(), buffer.data(), size, file.c_str());
        for (const wchar_t *line = buffer.data(); *line; line += wcslen(line) + 1)
            if (section != L"setting" || wcsncmp(line, L"Administrator=", 14) != 0)
                rest += section + L": " + line + L"; ";
    }
    return rest;
}

// The bytes of text as the registry stores it, the terminating zero included unless units say less.
std::string Utf16Bytes(const std::wstring &text, size_t units)
{
    return std::string(reinterpret_cast<const char *>(text.c_str()), units * sizeof(wchar_t));
}

std::string Utf16Bytes(const std::wstring &text)
{
    return Utf16Bytes(text, text.size() + 1);
}

// An ASCII text as a UTF-16 file, with its byte-order mark.
std::string Utf16(const std::string &text)
{
    return "\xFF\xFE" + Utf16Bytes(std::wstring(text.begin(), text.end()), text.size());
}

std::string Noise(size_t size)
{
    std::string noise;
    for (unsigned state = 12345; noise.size() < size;)
        noise += char((state = state * 1103515245 + 12345) >> 16);
    return noise;
}

std::string Huge()
{
    std::string text = "[other]\r\n";
    for (int key = 0; text.size() < 10 * 1024 * 1024; ++key)
        text += "Key" + std::to_string(key) + "=Value " + std::to_string(key) + "\r\n";
    return text + "[setting]\r\nAdministrator=0\r\n";
}

// What this system does when the settings API writes a read-only file: root under Wine
// writes it, Windows refuses.
bool ReadOnlyFileWritten()
{
    std::wstring probe = ScratchFolder(L"settings-probe") + L"\\probe.ini";
    SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteBytes(probe, "[setting]\r\n");
    SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_READONLY);
    WritePrivateProfileStringW(L"setting", L"Probe", L"1", probe.c_str());
    return GetPrivateProfileIntW(L"setting", L"Probe", 0, probe.c_str()) == 1;
}

TEST(Settings, AdminFlagReadAndToggled)
{
    const bool readOnlyWritten = ReadOnlyFileWritten();
    const std::string other = "[other]\r\nName=Value\r\n";
    const struct
    {
        const char *name;
        Kind kind;
        std::string content;
        UINT flag;
        const wchar_t *stored; // after the toggle; null: "1" if a read-only file is written here, else "0"
        bool checked;          // after the toggle
    } cases[] = {
        {"no file", Kind::Missing, "", 0, L"1", true},
        {"an empty file, as Scoop makes it", Kind::Text, "", 0, L"1", true},
        {"no key", Kind::Text, "[setting]\r\nOther=1\r\n" + other, 0, L"1", true},
        {"another section", Kind::Text, "[other]\r\nAdministrator=1\r\n", 0, L"1", true},
        {"0", Kind::Text, other + "[setting]\r\nAdministrator=0\r\n", 0, L"1", true},
        {"1", Kind::Text, "[setting]\r\nAdministrator=1\r\n" + other, 1, L"0", false},
        {"2", Kind::Text, "[setting]\r\nAdministrator=2\r\n", 2, L"1", true},
        {"text", Kind::Text, "[setting]\r\nAdministrator=yes\r\n", 0, L"1", true},
        {"empty", Kind::Text, "[setting]\r\nAdministrator=\r\n", 0, L"1", true},
        {"negative", Kind::Text, "[setting]\r\nAdministrator=-1\r\n", UINT(-1), L"1", true},
        {"very long", Kind::Text, "[setting]\r\nAdministrator=1" + std::string(5000, '0') + "\r\n", 0, L"1",
         true},
        {"UTF-16 with its byte-order mark", Kind::Text, Utf16("[setting]\r\nAdministrator=1\r\n" + other), 1,
         L"0", false},
        {"10 MB", Kind::Text, Huge(), 0, L"1", true},
        {"binary noise", Kind::Text, Noise(4096), 0, L"(none)", false},
        {"read-only", Kind::ReadOnly, "[setting]\r\nAdministrator=0\r\n", 0, nullptr, false},
        {"locked", Kind::Locked, "[setting]\r\nAdministrator=1\r\n", 0, L"1", false},
        {"a folder", Kind::Folder, "", 0, L"(none)", false},
    };
    for (const auto &c : cases)
    {
        std::wstring file = EnterFreshDirectory(std::wstring(c.name, c.name + strlen(c.name)));
        if (c.kind != Kind::Missing && c.kind != Kind::Folder)
            WriteBytes(file, c.content);
        if (c.kind == Kind::ReadOnly)
            SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        if (c.kind == Kind::Folder)
            CreateDirectoryW(file.c_str(), NULL);
        std::wstring rest = EverythingElse(file);
        HANDLE lock = c.kind == Kind::Locked ? CreateFileW(file.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                                           FILE_ATTRIBUTE_NORMAL, NULL)
                                             : INVALID_HANDLE_VALUE;

        UINT flag = ReadAdminFlag();
        EXPECT_TRUE(flag == c.flag || (flag != 1 && c.flag != 1)) << c.name << ": " << flag;
        ShowRunAsAdminCheck();
        EXPECT_EQ(Checked(IDM_RUNASADMIN), flag == 1) << c.name;
        AnswerBoxes(L"ERROR", {IDOK});
        ToggleRunAsAdmin();
        StopAnswering();
        bool checked = Checked(IDM_RUNASADMIN);
        // A choice that did not reach the file is told once, naming the file.
        if (checked == (flag != 1))
        {
            EXPECT_EQ(BoxesShown, std::vector<std::wstring>{}) << c.name;
        }
        else
        {
            ASSERT_EQ(BoxesShown.size(), 1u) << c.name;
            EXPECT_NE(BoxesShown[0].find(L"无法保存设置"), std::wstring::npos) << c.name;
            EXPECT_NE(BoxesShown[0].find(file), std::wstring::npos) << c.name;
        }
        bool fresh = ReadAdminFlag() == 1;
        if (lock != INVALID_HANDLE_VALUE)
            CloseHandle(lock);
        std::wstring stored = StoredFlag(file);
        EXPECT_EQ(stored, c.stored ? c.stored : readOnlyWritten ? L"1" : L"0") << c.name;
        EXPECT_EQ(checked, c.stored ? c.checked : readOnlyWritten) << c.name;
        EXPECT_EQ(checked, fresh) << c.name;       // what a fresh check reads
        EXPECT_FALSE(TakeQuitMessage()) << c.name; // already elevated: goes on
        if (c.kind == Kind::Text && c.content == Noise(4096))
        {
            EXPECT_EQ(Bytes(file), c.content) << c.name; // not a settings file: untouched
        }
        else
        {
            EXPECT_EQ(EverythingElse(file), rest) << c.name;
        }
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// As a user without administrator rights (this thread's token with Administrators for
// deny only), turning the item on relaunches only when the flag was stored. The relaunch
// starts this test program again, which only leaves a mark (see support.cpp).
TEST(Settings, UnelevatedTurningOnRelaunchesOnlyWhenTheFlagIsStored)
{
    ASSERT_TRUE(ImpersonateStandardUser());
    EXPECT_FALSE(IsRunningAsAdmin());
    // Windows would ask the user to elevate the relaunch: there only the half without one runs.
    bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    Swapped command(LastMenuCommand, IDM_RUNASADMIN);
    for (bool stored : {false, wine})
    {
        std::wstring file = EnterFreshDirectory(stored ? L"unelevated" : L"unelevated-locked");
        std::wstring mark = file.substr(0, file.rfind(L'\\')) + L"\\relaunched";
        DeleteFileW(mark.c_str());
        SetEnvironmentVariableW(L"QUINDLE_RELAUNCH_MARK", mark.c_str());
        WriteBytes(file, "[setting]\r\nAdministrator=0\r\n");
        HANDLE lock = stored ? INVALID_HANDLE_VALUE
                             : CreateFileW(file.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        AnswerBoxes(L"ERROR", {IDOK}); // a flag that could not be stored is said so
        HandleMenuCommand();
        CloseHandle(lock);
        EXPECT_EQ(BoxesShown.size(), stored ? 0u : 1u) << stored;
        EXPECT_EQ(TakeQuitMessage(), stored) << stored; // the relaunch ends this process
        EXPECT_EQ(IconPresent(), !stored) << stored;
        EXPECT_EQ(PumpUntil([&] { return GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES; },
                            stored ? 20000 : 0),
                  stored);
        Reset();
    }
    StopAnswering();
    SetEnvironmentVariableW(L"QUINDLE_RELAUNCH_MARK", NULL);
    RevertToSelf();
    SetCurrentDirectoryW(SandboxFolder().c_str());
}

TEST(Settings, EachCurrentDirectoryHasItsOwnFile)
{
    std::wstring first = EnterFreshDirectory(L"first");
    ToggleRunAsAdmin();
    std::wstring second = EnterFreshDirectory(L"second");
    EXPECT_EQ(ReadAdminFlag(), 0u);
    ToggleRunAsAdmin();
    SetCurrentDirectoryW(ScratchFolder(L"settings-first").c_str());
    ToggleRunAsAdmin();
    EXPECT_EQ(StoredFlag(first), L"0");
    EXPECT_EQ(StoredFlag(second), L"1");
    SetCurrentDirectoryW(SandboxFolder().c_str());
}

// Puts a value of that type and data in place of what the key held under the name; REG_NONE
// and no data: none.
void StoreValue(const wchar_t *key, const wchar_t *name, DWORD type, const std::string &data,
                HKEY root = HKEY_CURRENT_USER)
{
    RegDeleteKeyValueW(root, key, name);
    if (type != REG_NONE || !data.empty())
    {
        ASSERT_EQ(RegSetKeyValueW(root, key, name, type, data.data(), DWORD(data.size())), ERROR_SUCCESS);
    }
}

DWORD PromptAnswer; // the elevation prompt, as the user answers it: accepted, declined, no program there
// Besides: the hook paused, another account's guard held, or taken during the prompt or a box; elevated.
constexpr int Plain = 0, Paused = 1, HeldBefore = 2, TakenDuringPrompt = 3, TakenDuringBox = 4, Elevated = 5;
const char *const Situations[] = {"plain", "paused", "held before", "in the prompt", "in a box", "elevated"};
int Now;
ACL NoOne{ACL_REVISION, 0, sizeof NoOne, 0, 0}; // another account's guard, which this one may not even open
SECURITY_DESCRIPTOR Nobody{SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT, NULL, NULL, NULL, &NoOne};
SECURITY_ATTRIBUTES TheirGuard{sizeof TheirGuard, &Nobody, FALSE};
HANDLE Foreign;

// A start that cannot be elevated: Abort ends it, Ignore goes on unelevated, Retry tries again. While the
// prompt is up, the hook is out and no guard is left; while a box is up, the guard holds and the icon opens
// no menu, nor after a hand-over; a second start beside a guard it cannot open, and a marked one, ask
// nothing; an elevated one shows the autostart of the user the mark names.
TEST(Settings, TheAnswerToAFailedRelaunchCounts)
{
    const std::wstring No = L"ShellExecute Cancel..", Missing = L"File Not Found",
                       Denied = DescribeRelaunchError(ERROR_ACCESS_DENIED),
                       Refused = DescribeRelaunchError(ERROR_ELEVATION_REQUIRED);
    const wchar_t *Marked = L" --elevated  S-1-5-21-1-2-3-01001";
    const std::wstring Theirs = L"S-1-5-21-1-2-3-1001\\";
    const struct
    {
        const wchar_t *start; // the start's arguments; null: from the menu
        int situation;
        DWORD prompt;
        std::vector<int> answers;
        std::vector<std::wstring> boxes;
        bool goesOn;
        bool theirs; // a start that goes on shows the signed-in user's autostart, not its own
    } cases[] = {
        {L"", Plain, ERROR_SUCCESS, {}, {}, false, false},
        {L"", Plain, ERROR_CANCELLED, {IDABORT}, {No}, false, false},
        {L"", Plain, ERROR_CANCELLED, {IDIGNORE}, {No}, true, false},
        {L"", Plain, ERROR_CANCELLED, {IDRETRY, IDABORT}, {No, No}, false, false},
        {L"", Plain, ERROR_FILE_NOT_FOUND, {IDRETRY, IDIGNORE}, {Missing, Missing}, true, false},
        {L"", Plain, ERROR_ACCESS_DENIED, {IDIGNORE}, {Denied}, true, false},
        {L"", HeldBefore, ERROR_CANCELLED, {}, {}, false, false},
        {Marked, Plain, ERROR_CANCELLED, {IDRETRY, IDIGNORE}, {Refused, No}, true, false},
        {Marked, TakenDuringBox, ERROR_SUCCESS, {IDIGNORE}, {Refused}, true, false},
        {L"--elevatedX", Plain, ERROR_CANCELLED, {IDIGNORE}, {No}, true, false}, // no mark
        {Marked, Elevated, ERROR_SUCCESS, {}, {}, true, true},
        {L"--elevated S-1-5-21-9-9-9-1001", Elevated, ERROR_SUCCESS, {}, {}, true, false}, // no such hive
        {nullptr, Plain, ERROR_SUCCESS, {}, {}, false, false},
        {nullptr, Plain, ERROR_CANCELLED, {IDABORT}, {No}, false, false},
        {nullptr, Plain, ERROR_CANCELLED, {IDIGNORE}, {No}, true, false},
        {nullptr, Plain, ERROR_ACCESS_DENIED, {IDIGNORE}, {Denied}, true, false},
        {nullptr, Plain, ERROR_FILE_NOT_FOUND, {IDRETRY, IDABORT}, {Missing, Missing}, false, false},
        {nullptr, TakenDuringPrompt, ERROR_CANCELLED, {IDIGNORE}, {No}, false, false},
        {nullptr, TakenDuringBox, ERROR_CANCELLED, {IDIGNORE}, {No}, true, false},
        {nullptr, Paused, ERROR_CANCELLED, {IDIGNORE}, {No}, true, false},
    };
    Swapped prompt(StartElevatedCopy, [](SHELLEXECUTEINFOW *request) {
        EXPECT_EQ(WheelHookHandle, nullptr);
        EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, RunningGuardName), nullptr);
        EXPECT_STREQ(request->lpParameters, (L"--elevated " + ReadProcessUser()).c_str()); // who is signed in
        EXPECT_EQ(request->hwnd, MainWindow);
        PostMessageW(MainWindow, WM_USER, 0, WM_RBUTTONDOWN); // the icon, clicked meanwhile
        if (Now == TakenDuringPrompt)
            Foreign = CreateMutexW(&TheirGuard, 0, RunningGuardName);
        SetLastError(PromptAnswer);
        return BOOL(PromptAnswer == ERROR_SUCCESS);
    });
    Swapped command(LastMenuCommand, IDM_RUNASADMIN);
    Swapped chosen(AutostartUser, AutostartUser);
    // This program's start in this account's keys, and in the signed-in one's, where Task Manager disabled
    // it.
    const std::string quoted = Utf16Bytes(L"\"" + std::wstring(ModulePath) + L"\"");
    StoreValue(RunKeyPath, AutostartValueName, REG_SZ, quoted);
    StoreValue((Theirs + RunKeyPath).c_str(), AutostartValueName, REG_SZ, quoted, HKEY_USERS);
    StoreValue((Theirs + ApprovedKeyPath).c_str(), AutostartValueName, REG_BINARY, "\3", HKEY_USERS);
    for (const auto &c : cases)
    {
        SCOPED_TRACE(testing::Message() << (c.start ? "start " : "menu ") << Situations[c.situation] << " "
                                        << c.prompt << " " << c.answers.size());
        std::wstring file = EnterFreshDirectory(L"relaunch");
        Now = c.situation;
        PromptAnswer = c.prompt;
        ASSERT_TRUE(Now == Elevated ? RevertToSelf() : ImpersonateStandardUser());
        AnswerBoxes(L"ERROR", c.answers, [] {
            SendMessageW(MainWindow, WM_USER, 0, WM_RBUTTONDOWN); // the icon, clicked
            if (Now == TakenDuringBox && Foreign == NULL) // a second start, which a held guard ends at once
                Foreign = CreateMutexW(&TheirGuard, 0, RunningGuardName);
        });
        if (Now == HeldBefore)
            ReleaseRunningGuard(), Foreign = CreateMutexW(&TheirGuard, 0, RunningGuardName);
        if (Now == Paused)
            TogglePause();
        if (c.start)
        {
            WriteBytes(file, "[setting]\r\nAdministrator=1\r\n");
            Shell_NotifyIconW(NIM_DELETE, &TrayIcon);
            Swapped window(MainWindow, nullptr);
            Swapped icon(TrayIcon, TrayIcon); // a start fills it anew
            RemoveWheelHook();
            UINT_PTR started = SetTimer(NULL, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) {
                if (MainWindow != NULL)
                    PostQuitMessage(0); // the loop returns at once
            });
            EXPECT_EQ(RunProgram(GetModuleHandleW(NULL), SW_SHOWDEFAULT, c.start), 0);
            KillTimer(NULL, started);
            EXPECT_EQ(MainWindow != NULL, c.goesOn);
            EXPECT_EQ(IconPresent(), c.goesOn);
            if (c.goesOn) // ticked from the keys it chose; ticking turns theirs back on
            {
                EXPECT_EQ(Checked(IDM_AUTOSTART), !c.theirs);
                ToggleAutostart();
                EXPECT_EQ(Checked(IDM_AUTOSTART), c.theirs);
                ToggleAutostart();
            }
            if (MainWindow != NULL)
                DestroyWindow(MainWindow);
        }
        else
        {
            HandleMenuCommand();
            EXPECT_EQ(IconPresent(), c.goesOn);
            EXPECT_EQ(TakeQuitMessage(), !c.goesOn);
            PumpUntil([] { return HIWORD(GetQueueStatus(QS_POSTMESSAGE)) == 0; }); // clicks queued meanwhile
            EXPECT_EQ(PauseLabel(), c.goesOn && Now != Paused ? L"暂停" : L"继续");
        }
        EXPECT_EQ(WheelHookHandle != NULL, c.goesOn && Now != Paused);
        EXPECT_EQ(LastMenuCommand, IDM_RUNASADMIN); // no menu behind the box
        CloseHandle(std::exchange(Foreign, nullptr));
        Reset();
        StopAnswering();
        EXPECT_EQ(BoxesShown, c.boxes);
        EXPECT_EQ(StoredFlag(file), L"1"); // the next start asks again
    }
    RevertToSelf();
    SetCurrentDirectoryW(SandboxFolder().c_str());
}

// A value other than text, as StoredValue shows it: its type and its bytes in hex.
std::wstring Shown(DWORD type, const BYTE *data, DWORD size)
{
    std::wstring shown = L"(type " + std::to_wstring(type) + L")";
    for (DWORD i = 0; i < size; ++i)
        shown += {L"0123456789ABCDEF"[data[i] >> 4], L"0123456789ABCDEF"[data[i] & 15]};
    return shown;
}

// A value as stored: "(none)" when absent, else its text, or its type and bytes.
std::wstring StoredValue(const wchar_t *key, const wchar_t *name)
{
    wchar_t data[1024] = L"";
    DWORD type = 0, size = sizeof data - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) !=
        ERROR_SUCCESS)
        return L"(none)";
    return type == REG_SZ ? data : Shown(type, reinterpret_cast<const BYTE *>(data), size);
}

// Another program's autostart value, listed before ours, which no toggle may touch.
const wchar_t Neighbour[] = L"A neighbour whose value name is longer than the longest name of ours";
const wchar_t NeighbourData[] = L"\"C:\\Tools\\Other.exe\" --tray";

TEST(Autostart, RegisteredOnlyForThisProgramAndToggledFromTheRegistry)
{
    const std::wstring bare = ModulePath, quoted = L"\"" + bare + L"\"";
    std::wstring upper = bare;
    CharUpperBuffW(upper.data(), DWORD(upper.size()));
    const std::wstring longer = quoted + std::wstring(300, L' '), huge(100000, L'x');
    const std::string number(4, '\1'), wide(8, '\1');
    const struct
    {
        const char *name;
        DWORD type; // REG_NONE and no data: no value
        std::string data;
        bool registered;
        std::wstring after; // the value after the toggle
    } cases[] = {
        {"no value", REG_NONE, "", false, quoted},
        {"this path, bare", REG_SZ, Utf16Bytes(bare), true, L"(none)"},
        {"this path, quoted", REG_SZ, Utf16Bytes(quoted), true, L"(none)"},
        {"this path, quoted, unterminated", REG_SZ, Utf16Bytes(quoted, quoted.size()), true, L"(none)"},
        {"another path", REG_SZ, Utf16Bytes(L"\"C:\\Other\\Quindle.exe\""), false, quoted},
        {"other letter case", REG_SZ, Utf16Bytes(upper), false, quoted},
        {"with arguments", REG_SZ, Utf16Bytes(quoted + L" --tray"), false, quoted},
        {"longer than the buffer", REG_SZ, Utf16Bytes(longer), false, quoted},
        {"over-long", REG_SZ, Utf16Bytes(huge), false, quoted},
        {"empty", REG_SZ, "", false, quoted},
        {"empty text", REG_SZ, Utf16Bytes(L""), false, quoted},
        {"expandable string", REG_EXPAND_SZ, Utf16Bytes(quoted), true, L"(none)"}, // the shell runs these too
        {"multiple strings", REG_MULTI_SZ, Utf16Bytes(quoted + L'\0', quoted.size() + 2), false, quoted},
        {"no type", REG_NONE, Utf16Bytes(quoted), false, quoted},
        {"number", REG_DWORD, number, false, quoted},
        {"big-endian number", REG_DWORD_BIG_ENDIAN, number, false, quoted},
        {"wide number", REG_QWORD, wide, false, quoted},
        {"bytes", REG_BINARY, Utf16Bytes(bare, bare.size()), false, quoted},
        {"resource list", REG_RESOURCE_LIST, Utf16Bytes(quoted), false, quoted},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        StoreValue(RunKeyPath, Neighbour, REG_SZ, Utf16Bytes(NeighbourData));
        StoreValue(RunKeyPath, AutostartValueName, c.type, c.data);
        if (HasFatalFailure())
            return;
        EXPECT_EQ(IsAutostartRegistered(), c.registered);
        ShowAutostartCheck();
        EXPECT_EQ(Checked(IDM_AUTOSTART), c.registered);
        ToggleAutostart();
        EXPECT_EQ(StoredValue(RunKeyPath, AutostartValueName), c.after);
        EXPECT_EQ(Checked(IDM_AUTOSTART), c.after != L"(none)");
        EXPECT_EQ(Checked(IDM_AUTOSTART), IsAutostartRegistered()); // what a fresh check reads
        EXPECT_EQ(StoredValue(RunKeyPath, Neighbour), NeighbourData);
    }
    StoreValue(RunKeyPath, AutostartValueName, REG_NONE, "");
    StoreValue(RunKeyPath, Neighbour, REG_NONE, "");
}

// Without a Run key there is nothing to read, and the toggle creates nothing; so too for a copy running as
// another account, which uses the signed-in user's keys under HKEY_USERS (in the sandbox), never its own.
TEST(Autostart, AMissingRunKeyReadsAsOffAndStaysMissing)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, RunKeyPath);
    RegDeleteKeyW(HKEY_CURRENT_USER, RunKeyPath);
    HKEY run = NULL;
    ASSERT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, RunKeyPath, 0, KEY_READ, &run), ERROR_SUCCESS);
    EXPECT_FALSE(IsAutostartRegistered());
    ToggleAutostart();
    EXPECT_FALSE(Checked(IDM_AUTOSTART));
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, RunKeyPath, 0, KEY_READ, &run), ERROR_SUCCESS);
    RegCreateKeyExW(HKEY_CURRENT_USER, RunKeyPath, 0, NULL, 0, KEY_READ, NULL, &run, NULL);
    RegCloseKey(run);
    Swapped chosen(AutostartUser, AutostartUser);
    static std::wstring shellUser; // who the shell says is signed in: no one until it runs
    Swapped signedIn(ReadShellUser, [] { return shellUser; });
    RegCreateKeyExW(HKEY_USERS, L"S-1-5-21-1-2-3-1002", 0, NULL, 0, KEY_READ, NULL, &run, NULL); // signed in
    RegCloseKey(run);
    AnswerBoxes(L"", {});                                     // closes the menu
    for (UINT shown : {TaskbarCreatedMessage, UINT(WM_USER)}) // the shell starts; the menu opens
    {
        shellUser.clear(), ChooseAutostartUser(L"");
        shellUser = L"S-1-5-21-1-2-3-1002"; // another account
        SendMessageW(MainWindow, shown, 0, WM_RBUTTONDOWN);
        EXPECT_EQ(AutostartUser, shellUser + L"\\") << shown;
    }
    StopAnswering();
    ToggleAutostart();
    EXPECT_FALSE(Checked(IDM_AUTOSTART));
    RegCreateKeyExW(HKEY_USERS, L"S-1-5-21-1-2-3-1002\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                    NULL, 0, KEY_ALL_ACCESS, NULL, &run, NULL);
    ToggleAutostart();
    EXPECT_TRUE(Checked(IDM_AUTOSTART));
    EXPECT_EQ(StoredValue(RunKeyPath, AutostartValueName), L"(none)"); // the value went to theirs
    RegCloseKey(run);

    // The real look-up finds the shell's user, this process's own. Where no shell runs (Wine), a window of
    // this process is the shell's, registered as Explorer registers its own.
    HWND shell = GetShellWindow() ? NULL : CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    if (shell != NULL)
        reinterpret_cast<BOOL(WINAPI *)(HWND)>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetShellWindow")))(shell);
    EXPECT_EQ(AskShellForUser(), ReadProcessUser());
    DestroyWindow(shell);
}

TEST(Autostart, PathsOfEveryLengthThatFit)
{
    wchar_t saved[MAX_PATH];
    wcscpy_s(saved, ModulePath);
    // A path of the longest length Windows gives without truncating: 259 units.
    std::wstring longest = L"C:\\" + std::wstring(259 - 3 - 12, L'd') + L"\\Quindle.exe";
    ASSERT_EQ(longest.size(), 259u);
    wcscpy_s(ModulePath, longest.c_str());
    StoreValue(RunKeyPath, AutostartValueName, REG_NONE, "");
    ToggleAutostart();
    EXPECT_EQ(StoredValue(RunKeyPath, AutostartValueName), L"\"" + longest + L"\"");
    EXPECT_TRUE(IsAutostartRegistered());
    EXPECT_TRUE(Checked(IDM_AUTOSTART));

    // No path (it did not fit): nothing is written, the item stays off.
    ModulePath[0] = L'\0';
    StoreValue(RunKeyPath, AutostartValueName, REG_NONE, "");
    ToggleAutostart();
    EXPECT_EQ(StoredValue(RunKeyPath, AutostartValueName), L"(none)");
    EXPECT_FALSE(Checked(IDM_AUTOSTART));
    wcscpy_s(ModulePath, saved);
}

// Task Manager's approval value beside the Run value: a disabled one turns the start off
// (which values are disabled: the unit table), anything else leaves it on. Turning the
// item on enables a disabled value, also a stale one without a Run value, and leaves
// any other as it was (none is written where none was); turning it off leaves it too.
TEST(Autostart, StartupApprovalReadAndEnabledOnlyWhereDisabled)
{
    const std::wstring quoted = L"\"" + std::wstring(ModulePath) + L"\"";
    const std::string time("\0\0\0\x40\xC3\xD1\xAA\x7B\x4B\xDB\x01", 11), zeros(11, '\0');
    const std::wstring enabled = Shown(REG_BINARY, EnabledApproval, sizeof EnabledApproval);
    const struct
    {
        const char *name;
        bool run;   // the Run value names this program
        DWORD type; // REG_NONE: no approval value
        std::string data;
        bool disabled;
    } cases[] = {
        {"absent", true, REG_NONE, "", false},
        {"02", true, REG_BINARY, "\x02" + zeros, false},
        {"03", true, REG_BINARY, "\x03" + time, true},
        {"longer than Windows writes", true, REG_BINARY, "\x03" + std::string(300, '\1'), true},
        {"stale 03, no Run value", false, REG_BINARY, "\x03" + time, true},
        {"no Run value, none", false, REG_NONE, "", false},
        {"no Run value, 02", false, REG_BINARY, "\x02" + zeros, false},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        StoreValue(ApprovedKeyPath, AutostartValueName, c.type, c.data);
        StoreValue(RunKeyPath, AutostartValueName, c.run ? REG_SZ : REG_NONE,
                   c.run ? Utf16Bytes(quoted) : "");
        if (HasFatalFailure())
            return;
        const std::wstring before = StoredValue(ApprovedKeyPath, AutostartValueName);
        const bool registered = c.run && !c.disabled;
        EXPECT_EQ(IsAutostartRegistered(), registered);
        ToggleAutostart();
        EXPECT_EQ(StoredValue(RunKeyPath, AutostartValueName), registered ? L"(none)" : quoted);
        EXPECT_EQ(StoredValue(ApprovedKeyPath, AutostartValueName), c.disabled ? enabled : before);
        EXPECT_EQ(Checked(IDM_AUTOSTART), !registered);
    }
    StoreValue(RunKeyPath, AutostartValueName, REG_NONE, "");
}

// Each check closes the key the previous one left open: the old handle is either
// gone or was given out again for the new key.
TEST(Autostart, ChecksDoNotLeakKeyHandles)
{
    IsAutostartRegistered();
    for (int i = 0; i < 3; ++i)
    {
        HKEY previous = RunKey;
        ASSERT_NE(previous, nullptr);
        IsAutostartRegistered();
        DWORD values = 0;
        EXPECT_TRUE(RunKey == previous ||
                    RegQueryInfoKeyW(previous, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL,
                                     NULL) == ERROR_INVALID_HANDLE);
    }
}
} // namespace
