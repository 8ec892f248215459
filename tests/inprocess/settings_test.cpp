// The settings file and the Run value, on the Wine prefix's real file system and registry.
#include "app/state.h"
#include "resource.h"
#include "settings/admin.h"
#include "settings/autostart.h"
#include "settings/state.h"

#include "support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace
{
const wchar_t RunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t ValueName[] = L"Quindle V1.24";

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

TEST(Settings, AdminFlagReadAndToggled)
{
    const struct
    {
        const char *name;
        Kind kind;
        std::string content;
        UINT flag;
        const wchar_t *stored; // after the toggle; null: whatever it is, the check mark says so
        bool checked;          // after the toggle
    } cases[] = {
        {"no file", Kind::Missing, "", 0, L"1", true},
        {"no key", Kind::Text, "[setting]\r\nOther=1\r\n", 0, L"1", true},
        {"another section", Kind::Text, "[other]\r\nAdministrator=1\r\n", 0, L"1", true},
        {"0", Kind::Text, "[setting]\r\nAdministrator=0\r\n", 0, L"1", true},
        {"1", Kind::Text, "[setting]\r\nAdministrator=1\r\n", 1, L"0", false},
        {"2", Kind::Text, "[setting]\r\nAdministrator=2\r\n", 2, L"1", true},
        {"text", Kind::Text, "[setting]\r\nAdministrator=yes\r\n", 0, L"1", true},
        {"empty", Kind::Text, "[setting]\r\nAdministrator=\r\n", 0, L"1", true},
        {"negative", Kind::Text, "[setting]\r\nAdministrator=-1\r\n", UINT(-1), L"1", true},
        {"very long", Kind::Text, "[setting]\r\nAdministrator=1" + std::string(5000, '0') + "\r\n", 0, L"1",
         true},
        {"read-only", Kind::ReadOnly, "[setting]\r\nAdministrator=0\r\n", 0, nullptr, false},
        {"locked", Kind::Locked, "[setting]\r\nAdministrator=1\r\n", 0, L"1", false},
        {"a folder", Kind::Folder, "", 0, L"(none)", false},
    };
    for (const auto &c : cases)
    {
        std::wstring file = EnterFreshDirectory(std::wstring(c.name, c.name + strlen(c.name)));
        if (c.kind != Kind::Missing && c.kind != Kind::Folder) WriteBytes(file, c.content);
        if (c.kind == Kind::ReadOnly) SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        if (c.kind == Kind::Folder) CreateDirectoryW(file.c_str(), NULL);
        HANDLE lock = c.kind == Kind::Locked ? CreateFileW(file.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                                           FILE_ATTRIBUTE_NORMAL, NULL)
                                             : INVALID_HANDLE_VALUE;

        UINT flag = ReadAdminFlag();
        EXPECT_TRUE(flag == c.flag || (flag != 1 && c.flag != 1)) << c.name << ": " << flag;
        ShowRunAsAdminCheck();
        EXPECT_EQ(Checked(IDM_RUNASADMIN), flag == 1) << c.name;
        ToggleRunAsAdmin();
        bool checked = Checked(IDM_RUNASADMIN);
        if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
        std::wstring stored = StoredFlag(file);
        // Root writes even a read-only file under Wine; Windows refuses. Either way the
        // check mark shows what the file then holds.
        EXPECT_EQ(stored, c.stored ? c.stored : stored) << c.name;
        EXPECT_EQ(checked, c.stored ? c.checked : stored == L"1") << c.name;
        EXPECT_FALSE(TakeQuitMessage()) << c.name; // already elevated: goes on
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
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
    SetCurrentDirectoryW(ProgramFolder().c_str());
}

// The Run value as the test leaves it for the next case: absent, or of a type and data.
void StoreRunValue(DWORD type, const void *data, DWORD bytes)
{
    RegDeleteKeyValueW(HKEY_CURRENT_USER, RunKeyPath, ValueName);
    if (data != nullptr)
    {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, RunKeyPath, ValueName, type, data, bytes),
                  ERROR_SUCCESS);
    }
}

// The value as REG_SZ text, "(none)" when absent, "(type N)" when of another type.
std::wstring StoredRunValue()
{
    wchar_t text[1024] = L"";
    DWORD type = 0, size = sizeof text - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, RunKeyPath, ValueName, RRF_RT_ANY | RRF_NOEXPAND, &type, text,
                     &size) != ERROR_SUCCESS)
        return L"(none)";
    return type == REG_SZ ? text : L"(type " + std::to_wstring(type) + L")";
}

TEST(Autostart, RegisteredOnlyForThisProgramAndToggledFromTheRegistry)
{
    const std::wstring bare = ModulePath, quoted = L"\"" + bare + L"\"";
    std::wstring upper = bare;
    for (wchar_t &unit : upper)
        unit = towupper(unit);
    const std::wstring longer = quoted + std::wstring(300, L' ');
    const DWORD number = 1;
    const struct
    {
        const char *name;
        DWORD type;
        std::wstring text; // for the string types
        bool registered;
        std::wstring after; // the value after the toggle
    } cases[] = {
        {"no value", REG_NONE, L"", false, quoted},
        {"this path, bare", REG_SZ, bare, true, L"(none)"},
        {"this path, quoted", REG_SZ, quoted, true, L"(none)"},
        {"another path", REG_SZ, L"\"C:\\Other\\Quindle.exe\"", false, quoted},
        {"other letter case", REG_SZ, upper, false, quoted},
        {"with arguments", REG_SZ, quoted + L" --tray", false, quoted},
        {"longer than the buffer", REG_SZ, longer, false, quoted},
        {"expandable string", REG_EXPAND_SZ, quoted, true, L"(none)"}, // the shell runs these too
        {"number", REG_DWORD, L"", false, quoted},
        {"bytes", REG_BINARY, L"", false, quoted},
    };
    for (const auto &c : cases)
    {
        if (c.type == REG_NONE)
            StoreRunValue(REG_SZ, nullptr, 0);
        else if (c.type == REG_DWORD)
            StoreRunValue(REG_DWORD, &number, sizeof number);
        else if (c.type == REG_BINARY)
            StoreRunValue(REG_BINARY, bare.c_str(),
                          DWORD(bare.size() * sizeof(wchar_t))); // no terminating zero
        else
            StoreRunValue(c.type, c.text.c_str(), DWORD((c.text.size() + 1) * sizeof(wchar_t)));

        EXPECT_EQ(IsAutostartRegistered(), c.registered) << c.name;
        ShowAutostartCheck();
        EXPECT_EQ(Checked(IDM_AUTOSTART), c.registered) << c.name;
        ToggleAutostart();
        EXPECT_EQ(StoredRunValue(), c.after) << c.name;
        EXPECT_EQ(Checked(IDM_AUTOSTART), c.after != L"(none)") << c.name;
    }
    StoreRunValue(REG_SZ, nullptr, 0);
}

TEST(Autostart, PathsOfEveryLengthThatFit)
{
    wchar_t saved[MAX_PATH];
    wcscpy_s(saved, ModulePath);
    // A path of the longest length Windows gives without truncating: 259 units.
    std::wstring longest = L"C:\\" + std::wstring(259 - 3 - 12, L'd') + L"\\Quindle.exe";
    ASSERT_EQ(longest.size(), 259u);
    wcscpy_s(ModulePath, longest.c_str());
    StoreRunValue(REG_SZ, nullptr, 0);
    ToggleAutostart();
    EXPECT_EQ(StoredRunValue(), L"\"" + longest + L"\"");
    EXPECT_TRUE(IsAutostartRegistered());
    EXPECT_TRUE(Checked(IDM_AUTOSTART));

    // No path (it did not fit): nothing is written, the item stays off.
    ModulePath[0] = L'\0';
    StoreRunValue(REG_SZ, nullptr, 0);
    ToggleAutostart();
    EXPECT_EQ(StoredRunValue(), L"(none)");
    EXPECT_FALSE(Checked(IDM_AUTOSTART));
    wcscpy_s(ModulePath, saved);
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
