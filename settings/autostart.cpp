// Start at sign-in: one value under the signed-in user's Run key, honouring the
// approval value that Task Manager and Settings write beside it.
#include "settings/autostart.h"

#include "app/state.h"
#include "quindle_version.h"
#include "resource.h"
#include "settings/state.h"

#include <sddl.h>
#include <wchar.h>
#include <wctype.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

HKEY RunKey;
std::wstring AutostartUser;
bool (*ReadSignedInUser)(PSID user, DWORD size) = AskSessionForUser;
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

// The account this process runs as; false when its token cannot be read.
bool ReadProcessUser(PSID user, DWORD size)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    alignas(TOKEN_USER) BYTE info[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    bool read = GetTokenInformation(token, TokenUser, info, sizeof info, &length) &&
                CopySid(size, user, reinterpret_cast<TOKEN_USER *>(info)->User.Sid);
    CloseHandle(token);
    return read;
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

// Whether the item is about the signed-in user's autostart rather than this process's own:
// a copy running as another account (an administrator's password typed at the prompt, or
// Administrator protection) has that account's HKEY_CURRENT_USER, whose Run key would never
// start the program at the user's sign-in. Unknown (null): this process's own, as ever.
bool UsesSignedInUsersHive(PSID process, PSID signedIn)
{
    return process != NULL && signedIn != NULL && !EqualSid(process, signedIn);
}

// Who is signed in to this session, by the session's own record, whatever account this
// process runs as.
bool AskSessionForUser(PSID user, DWORD size)
{
    auto query = FindSessionFunction<decltype(&WTSQuerySessionInformationW)>("WTSQuerySessionInformationW");
    auto release = FindSessionFunction<decltype(&WTSFreeMemory)>("WTSFreeMemory");
    wchar_t *domain = nullptr, *name = nullptr;
    DWORD bytes = 0;
    bool asked = query != nullptr && release != nullptr &&
                 query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSDomainName, &domain, &bytes) &&
                 query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &name, &bytes);
    std::wstring account = asked && name[0] != L'\0' ? std::wstring(domain) + L"\\" + name : L"";
    for (wchar_t *text : {domain, name})
        if (text != nullptr)
            release(text);
    wchar_t foundDomain[256];
    DWORD domainLength = 256;
    SID_NAME_USE use;
    return !account.empty() &&
           LookupAccountNameW(NULL, account.c_str(), user, &size, foundDomain, &domainLength, &use);
}

// Once at start: whose Run key the item reads and writes from then on.
void ChooseAutostartUser()
{
    BYTE process[SECURITY_MAX_SID_SIZE], signedIn[SECURITY_MAX_SID_SIZE];
    bool processKnown = ReadProcessUser(process, sizeof process);
    bool signedInKnown = ReadSignedInUser(signedIn, sizeof signedIn);
    wchar_t *text = nullptr;
    AutostartUser.clear();
    if (UsesSignedInUsersHive(processKnown ? process : NULL, signedInKnown ? signedIn : NULL) &&
        ConvertSidToStringSidW(signedIn, &text))
        AutostartUser = std::wstring(text) + L"\\";
    LocalFree(text);
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
