// The settings file and the Run value, on the Wine prefix's real file system and registry.
#include "app/state.h"
#include "app/tray.h"
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

std::string Utf16(const std::string &text)
{
    std::string bytes = "\xFF\xFE";
    for (char c : text)
        bytes += std::string{c, '\0'};
    return bytes;
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
        ToggleRunAsAdmin();
        bool checked = Checked(IDM_RUNASADMIN);
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
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    SID_AND_ATTRIBUTES administrators{};
    HANDLE process = NULL, restricted = NULL, user = NULL;
    ASSERT_TRUE(AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                         0, 0, 0, 0, 0, 0, &administrators.Sid));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process));
    ASSERT_TRUE(CreateRestrictedToken(process, 0, 1, &administrators, 0, NULL, 0, NULL, &restricted));
    ASSERT_TRUE(DuplicateTokenEx(restricted, TOKEN_ALL_ACCESS, NULL, SecurityImpersonation,
                                 TokenImpersonation, &user));
    ASSERT_TRUE(SetThreadToken(NULL, user));
    EXPECT_FALSE(IsRunningAsAdmin());
    // Windows would ask the user to elevate the relaunch: there only the half without one runs.
    bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    for (bool stored : {false, wine})
    {
        std::wstring file = EnterFreshDirectory(stored ? L"unelevated" : L"unelevated-locked");
        std::wstring mark = file.substr(0, file.rfind(L'\\')) + L"\\relaunched";
        DeleteFileW(mark.c_str());
        SetEnvironmentVariableW(L"QUINDLE_RELAUNCH_MARK", mark.c_str());
        WriteBytes(file, "[setting]\r\nAdministrator=0\r\n");
        HANDLE lock = stored ? INVALID_HANDLE_VALUE
                             : CreateFileW(file.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        ToggleRunAsAdmin();
        CloseHandle(lock);
        EXPECT_EQ(TakeQuitMessage(), stored) << stored; // the relaunch ends this process
        EXPECT_EQ(IconPresent(), !stored) << stored;
        EXPECT_EQ(PumpUntil([&] { return GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES; },
                            stored ? 20000 : 0),
                  stored);
        AddTrayIcon();
    }
    SetEnvironmentVariableW(L"QUINDLE_RELAUNCH_MARK", NULL);
    RevertToSelf();
    for (HANDLE handle : {process, restricted, user})
        CloseHandle(handle);
    FreeSid(administrators.Sid);
    SetCurrentDirectoryW(ProgramFolder().c_str());
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

// Another program's autostart value beside ours, which no toggle may touch.
const wchar_t Neighbour[] = L"Neighbour";
const wchar_t NeighbourData[] = L"\"C:\\Tools\\Other.exe\" --tray";

std::wstring NeighbourValue()
{
    wchar_t text[100] = L"";
    DWORD size = sizeof text;
    RegGetValueW(HKEY_CURRENT_USER, RunKeyPath, Neighbour, RRF_RT_REG_SZ, NULL, text, &size);
    return text;
}

TEST(Autostart, RegisteredOnlyForThisProgramAndToggledFromTheRegistry)
{
    const std::wstring bare = ModulePath, quoted = L"\"" + bare + L"\"";
    std::wstring upper = bare;
    for (wchar_t &unit : upper)
        unit = towupper(unit);
    const std::wstring longer = quoted + std::wstring(300, L' '), huge(100000, L'x');
    auto bytes = [](const std::wstring &text, size_t units) {
        return std::string(reinterpret_cast<const char *>(text.c_str()), units * sizeof(wchar_t));
    };
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
        {"this path, bare", REG_SZ, bytes(bare, bare.size() + 1), true, L"(none)"},
        {"this path, quoted", REG_SZ, bytes(quoted, quoted.size() + 1), true, L"(none)"},
        {"this path, quoted, unterminated", REG_SZ, bytes(quoted, quoted.size()), true, L"(none)"},
        {"another path", REG_SZ, bytes(L"\"C:\\Other\\Quindle.exe\"", 25), false, quoted},
        {"other letter case", REG_SZ, bytes(upper, upper.size() + 1), false, quoted},
        {"with arguments", REG_SZ, bytes(quoted + L" --tray", quoted.size() + 8), false, quoted},
        {"longer than the buffer", REG_SZ, bytes(longer, longer.size() + 1), false, quoted},
        {"over-long", REG_SZ, bytes(huge, huge.size() + 1), false, quoted},
        {"empty", REG_SZ, "", false, quoted},
        {"empty text", REG_SZ, bytes(L"", 1), false, quoted},
        {"expandable string", REG_EXPAND_SZ, bytes(quoted, quoted.size() + 1), true,
         L"(none)"}, // the shell runs these too
        {"multiple strings", REG_MULTI_SZ, bytes(quoted + L"\0", quoted.size() + 2), false, quoted},
        {"no type", REG_NONE, bytes(quoted, quoted.size() + 1), false, quoted},
        {"number", REG_DWORD, number, false, quoted},
        {"big-endian number", REG_DWORD_BIG_ENDIAN, number, false, quoted},
        {"wide number", REG_QWORD, wide, false, quoted},
        {"bytes", REG_BINARY, bytes(bare, bare.size()), false, quoted},
        {"resource list", REG_RESOURCE_LIST, bytes(quoted, quoted.size() + 1), false, quoted},
    };
    for (const auto &c : cases)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, RunKeyPath, Neighbour, REG_SZ, NeighbourData,
                        sizeof NeighbourData);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, RunKeyPath, ValueName);
        if (c.type != REG_NONE || !c.data.empty())
        {
            ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, RunKeyPath, ValueName, c.type, c.data.data(),
                                      DWORD(c.data.size())),
                      ERROR_SUCCESS)
                << c.name;
        }

        EXPECT_EQ(IsAutostartRegistered(), c.registered) << c.name;
        ShowAutostartCheck();
        EXPECT_EQ(Checked(IDM_AUTOSTART), c.registered) << c.name;
        ToggleAutostart();
        EXPECT_EQ(StoredRunValue(), c.after) << c.name;
        EXPECT_EQ(Checked(IDM_AUTOSTART), c.after != L"(none)") << c.name;
        EXPECT_EQ(Checked(IDM_AUTOSTART), IsAutostartRegistered()) << c.name; // what a fresh check reads
        EXPECT_EQ(NeighbourValue(), NeighbourData) << c.name;
    }
    StoreRunValue(REG_SZ, nullptr, 0);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, RunKeyPath, Neighbour);
}

// Without a Run key there is nothing to read, and the toggle creates nothing.
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
