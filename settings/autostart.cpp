// Start at sign-in: one value under the signed-in user's Run key, honouring the
// approval value that Task Manager and Settings write beside it.
#include "settings/autostart.h"

#include "app/state.h"
#include "quindle_version.h"
#include "resource.h"
#include "settings/admin.h"
#include "settings/state.h"

#include <sddl.h>
#include <wchar.h>
#include <wctype.h>
#include <wtsapi32.h>

#include <algorithm>
#include <string>
#include <vector>

HKEY RunKey;
std::wstring AutostartUser;
bool AutostartUserUnknown;
std::wstring (*ReadShellUser)() = AskShellForUser;
const wchar_t RunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t AutostartValueName[] = L"Quindle V" QUINDLE_VERSION;
const wchar_t ApprovedKeyPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
const BYTE EnabledApproval[12] = {0x02};

namespace
{
constexpr int QuotedPathLength = MAX_PATH + 2; // a path of up to 259 units, its quotes and the end

void CloseRunKey()
{
    if (RunKey != NULL)
        RegCloseKey(RunKey);
    RunKey = NULL;
}

// Whether the user turned the start under this name off in Task Manager or Settings. A
// value longer than Windows writes is read whole: its first byte still decides.
bool IsStartDisapproved(HKEY approved, const wchar_t *name)
{
    BYTE data[64];
    DWORD type = REG_NONE, size = sizeof data;
    LSTATUS status = RegQueryValueExW(approved, name, NULL, &type, data, &size);
    if (status == ERROR_SUCCESS)
        return IsApprovalDisabled(type, data, size);
    if (status != ERROR_MORE_DATA)
        return false;
    bool disabled = false;
    if (BYTE *whole = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, size)))
    {
        if (RegQueryValueExW(approved, name, NULL, &type, whole, &size) == ERROR_SUCCESS)
            disabled = IsApprovalDisabled(type, whole, size);
        HeapFree(GetProcessHeap(), 0, whole);
    }
    return disabled;
}

// A key of the user whose autostart the item is about.
HKEY OpenUserKey(const wchar_t *path, REGSAM access)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(AutostartUser.empty() ? HKEY_CURRENT_USER : HKEY_USERS, (AutostartUser + path).c_str(),
                      0, access, &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

// A disabled approval value would keep Windows from starting the program however the
// Run value reads; turn it back on as Task Manager does. A missing one is left missing.
void EnableApprovedStart()
{
    HKEY approved = OpenUserKey(ApprovedKeyPath, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (approved == NULL)
        return;
    if (IsStartDisapproved(approved, AutostartValueName))
        RegSetValueExW(approved, AutostartValueName, 0, REG_BINARY, EnabledApproval, sizeof EnabledApproval);
    RegCloseKey(approved);
}

// A Run value that starts this program, under this version's name or another's.
struct OwnRunValue
{
    std::wstring Name;
    bool ThisVersion;
};

// Opens RunKey afresh and lists the values in it that start this program.
std::vector<OwnRunValue> FindOwnRunValues()
{
    std::vector<OwnRunValue> own;
    CloseRunKey(); // the handle an earlier check left open
    RunKey = OpenUserKey(RunKeyPath, KEY_ALL_ACCESS);
    if (RunKey == NULL)
        return own;
    wchar_t name[64];
    for (DWORD index = 0;; ++index)
    {
        DWORD length = sizeof name / sizeof name[0];
        LSTATUS status = RegEnumValueW(RunKey, index, name, &length, NULL, NULL, NULL, NULL);
        if (status == ERROR_MORE_DATA)
            continue; // a longer name than any of ours
        if (status != ERROR_SUCCESS)
            break;
        wchar_t stored[QuotedPathLength] = L"";
        DWORD size = sizeof stored;
        // RegGetValueW checks the type and the terminating zero; longer values fail.
        if (RegGetValueW(RunKey, NULL, name, RRF_RT_REG_SZ, NULL, stored, &size) != ERROR_SUCCESS)
            stored[0] = L'\0';
        RunValueOwner owner = ClassifyRunValue(name, stored, ModulePath, AutostartValueName);
        if (owner != NotThisProgram)
            own.push_back({name, owner == ThisVersion});
    }
    return own;
}

// Windows starts the program from any of them that its approval value does not turn off.
bool StartsAny(const std::vector<OwnRunValue> &own)
{
    HKEY approved = OpenUserKey(ApprovedKeyPath, KEY_QUERY_VALUE);
    bool starts = false;
    for (const OwnRunValue &value : own)
        starts = starts || approved == NULL || !IsStartDisapproved(approved, value.Name.c_str());
    if (approved != NULL)
        RegCloseKey(approved);
    return starts;
}

// Deletes the other versions' values with their approval values, and this version's
// value too when asked; its approval value stays, as Task Manager leaves it.
void RemoveOwnRunValues(const std::vector<OwnRunValue> &own, bool thisVersionToo)
{
    HKEY approved = OpenUserKey(ApprovedKeyPath, KEY_SET_VALUE);
    for (const OwnRunValue &value : own)
    {
        if (value.ThisVersion && !thisVersionToo)
            continue;
        RegDeleteValueW(RunKey, value.Name.c_str());
        if (!value.ThisVersion && approved != NULL)
            RegDeleteValueW(approved, value.Name.c_str());
    }
    if (approved != NULL)
        RegCloseKey(approved);
}
} // namespace

// Whether an approval value of this type and data turns the start off: binary, with
// the low bit of its first byte set (03, 07). Anything else, or none, leaves it on.
bool IsApprovalDisabled(DWORD type, const BYTE *data, DWORD size)
{
    return type == REG_BINARY && size >= 1 && data != nullptr && (data[0] & 1) != 0;
}

// Whether a Run value starts this program: its path in quotes, or bare as earlier
// versions wrote it; the same units, letter case included.
bool NamesThisProgram(const wchar_t *stored, const wchar_t *program)
{
    size_t length = wcslen(program);
    if (length == 0)
        return false;
    if (wcscmp(stored, program) == 0)
        return true;
    return stored[0] == L'"' && wcsncmp(stored + 1, program, length) == 0 && stored[length + 1] == L'"' &&
           stored[length + 2] == L'\0';
}

// Whose a Run value is: this program's when it starts this program's path under a name of
// "Quindle V" and a version, this version's or an older (or newer) one's. Names are
// compared as Windows compares them, without regard to letter case.
RunValueOwner ClassifyRunValue(const wchar_t *name, const wchar_t *data, const wchar_t *program,
                               const wchar_t *thisVersionName)
{
    const wchar_t prefix[] = L"Quindle V";
    const size_t length = wcslen(prefix);
    bool versioned = _wcsnicmp(name, prefix, length) == 0 && iswdigit(name[length]) &&
                     name[length + wcsspn(name + length, L"0123456789.")] == L'\0';
    if (!versioned || !NamesThisProgram(data, program))
        return NotThisProgram;
    return _wcsicmp(name, thisVersionName) == 0 ? ThisVersion : OtherVersion;
}

// Whose hive the autostart item uses: the signed-in user's SID, as HKEY_USERS names the hive,
// when this process runs as another account (an administrator's password typed at the
// prompt, or Administrator protection), whose HKEY_CURRENT_USER the user's sign-in never
// reads; else empty, for its own. Only an account counts, S-1-5-21-a-b-c-RID or Entra ID's
// S-1-12-1-a-b-c-d: no well-known SID (SYSTEM's), group or domain, and no text that is no SID.
std::wstring ChooseSignedInHive(const std::wstring &process, const std::wstring &signedIn)
{
    PSID user = NULL;
    std::wstring hive = ConvertStringSidToSidW(signedIn.c_str(), &user) ? DescribeSid(user) : L"";
    LocalFree(user);
    bool account = (hive.compare(0, 9, L"S-1-5-21-") == 0 || hive.compare(0, 9, L"S-1-12-1-") == 0) &&
                   std::count(hive.begin(), hive.end(), L'-') == 7;
    return account && !process.empty() && hive != process ? hive : L"";
}

// Who is signed in to this session: the user of the desktop shell's process, as the
// session's process list gives it (an administrator may read it there, though not open
// that process's token). No name look-up: one of "AzureAD\name" fails, and one of a
// domain account can wait on an unreachable domain controller.
std::wstring AskShellForUser()
{
    DWORD shell = 0;
    GetWindowThreadProcessId(GetShellWindow(), &shell);
    auto enumerate = FindSessionFunction<decltype(&WTSEnumerateProcessesW)>("WTSEnumerateProcessesW");
    auto release = FindSessionFunction<decltype(&WTSFreeMemory)>("WTSFreeMemory");
    WTS_PROCESS_INFOW *processes = nullptr;
    DWORD count = 0;
    if (shell == 0 || enumerate == nullptr || release == nullptr ||
        !enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count))
        return L"";
    std::wstring user = FindProcessUser(processes, count, shell);
    release(processes);
    return user;
}

// The user of the process with that id in a session's process list; empty when it is not listed.
std::wstring FindProcessUser(const WTS_PROCESS_INFOW *processes, DWORD count, DWORD id)
{
    for (DWORD i = 0; i < count; ++i)
        if (processes[i].ProcessId == id)
            return DescribeSid(processes[i].pUserSid);
    return L"";
}

// At start: whose Run key the item reads and writes from then on. Unelevated, this copy is
// the signed-in user's own. Elevated, it may run as another account: the copy that handed
// over named the signed-in user (passed), or else the shell's process tells. Only a user
// whose hive is loaded here counts.
void ChooseAutostartUser(const wchar_t *passed)
{
    AutostartUser.clear();
    AutostartUserUnknown = false;
    if (!IsRunningAsAdmin())
        return;
    std::wstring signedIn = passed[0] != L'\0' ? passed : ReadShellUser();
    AutostartUserUnknown = signedIn.empty(); // no shell yet: restarting, or not started at sign-in
    std::wstring hive = ChooseSignedInHive(ReadProcessUser(), signedIn);
    HKEY key = NULL;
    if (!hive.empty() && RegOpenKeyExW(HKEY_USERS, hive.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS)
    {
        AutostartUser = hive + L"\\";
        RegCloseKey(key);
    }
}

// Once the shell runs (its taskbar is created, or the user opens the menu), an elevated copy
// that could not tell who is signed in asks again, rather than keep its own keys for life.
void RetryAutostartUser()
{
    if (!AutostartUserUnknown)
        return;
    ChooseAutostartUser(L"");
    ShowAutostartCheck();
}

bool IsAutostartRegistered()
{
    return StartsAny(FindOwnRunValues());
}

// Turning on writes this version's value and drops older versions' values; turning off
// drops them all. Another copy's values and other programs' are never touched.
void ToggleAutostart()
{
    std::vector<OwnRunValue> own = FindOwnRunValues();
    if (StartsAny(own))
        RemoveOwnRunValues(own, true);
    else if (RunKey != NULL && ModulePath[0] != L'\0') // no path, or a truncated one: nothing to start
    {
        // Quoted: unquoted, a path with spaces could start C:\Program.exe instead.
        static_assert(QuotedPathLength >= sizeof ModulePath / sizeof ModulePath[0] + 2,
                      "room for the quotes");
        wchar_t quoted[QuotedPathLength];
        size_t length = wcsnlen(ModulePath, MAX_PATH - 1);
        quoted[0] = L'"';
        wmemcpy(quoted + 1, ModulePath, length);
        quoted[length + 1] = L'"';
        quoted[length + 2] = L'\0';
        if (RegSetValueExW(RunKey, AutostartValueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(quoted),
                           static_cast<DWORD>((length + 3) * sizeof(wchar_t))) == ERROR_SUCCESS)
        {
            EnableApprovedStart();
            RemoveOwnRunValues(own, false);
        }
    }
    CloseRunKey();
    ShowAutostartCheck();
}

void ShowAutostartCheck()
{
    CheckMenuItem(TrayMenu, IDM_AUTOSTART,
                  MF_BYCOMMAND | (IsAutostartRegistered() ? MF_CHECKED : MF_UNCHECKED));
}
