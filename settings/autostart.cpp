// Start at sign-in: one value under the current user's Run key.
#include "settings/autostart.h"

#include "app/state.h"
#include "quindle_version.h"
#include "resource.h"
#include "settings/state.h"

#include <wchar.h>

HKEY RunKey;

namespace
{
const wchar_t RunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t AutostartValueName[] = L"Quindle V" QUINDLE_VERSION;
constexpr int QuotedPathLength = MAX_PATH + 2; // a path of up to 259 units, its quotes and the end

void CloseRunKey()
{
    if (RunKey != NULL)
        RegCloseKey(RunKey);
    RunKey = NULL;
}
} // namespace

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

bool IsAutostartRegistered()
{
    CloseRunKey(); // the handle an earlier check left open
    if (RegOpenKeyExW(HKEY_CURRENT_USER, RunKeyPath, 0, KEY_ALL_ACCESS, &RunKey) != ERROR_SUCCESS)
    {
        RunKey = NULL;
        return false;
    }
    wchar_t stored[QuotedPathLength] = L"";
    DWORD size = sizeof stored;
    // RegGetValueW checks the type and the terminating zero; longer values fail.
    if (RegGetValueW(RunKey, NULL, AutostartValueName, RRF_RT_REG_SZ, NULL, stored, &size) != ERROR_SUCCESS)
        return false;
    return NamesThisProgram(stored, ModulePath);
}

void ToggleAutostart()
{
    if (IsAutostartRegistered())
    {
        RegDeleteValueW(RunKey, AutostartValueName);
    }
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
        RegSetValueExW(RunKey, AutostartValueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(quoted),
                       static_cast<DWORD>((length + 3) * sizeof(wchar_t)));
    }
    CloseRunKey();
    ShowAutostartCheck();
}

void ShowAutostartCheck()
{
    CheckMenuItem(TrayMenu, IDM_AUTOSTART,
                  MF_BYCOMMAND | (IsAutostartRegistered() ? MF_CHECKED : MF_UNCHECKED));
}
