// The run-as-administrator setting and the elevated relaunch.
#include "settings/admin.h"

#include "app/state.h"
#include "resource.h"

#include <string.h>
#include <string>

namespace
{
// Relative: the settings live in the current directory, not beside the program.
const wchar_t SettingsFile[] = L".\\setting.ini";

// Binary data under this name is some other program's file: rewriting it as text to
// add one line would ruin it. A file that holds a zero byte, and is not UTF-16 with its
// byte-order mark, is left alone.
bool HoldsBinaryData(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false; // none yet, or not readable: the write itself decides
    char chunk[4096];
    DWORD read = 0;
    bool first = true, binary = false;
    while (!binary && ReadFile(file, chunk, sizeof chunk, &read, NULL) && read > 0)
    {
        if (first && read >= 2 && chunk[0] == '\xFF' && chunk[1] == '\xFE')
            break; // UTF-16: zero bytes are its text
        first = false;
        binary = memchr(chunk, 0, read) != nullptr;
    }
    CloseHandle(file);
    return binary;
}

void WriteAdminFlag(const wchar_t *value)
{
    if (!HoldsBinaryData(SettingsFile))
        WritePrivateProfileStringW(L"setting", L"Administrator", value, SettingsFile);
}

std::wstring ReadProgramPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD length = GetModuleFileNameW(NULL, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size())
            return path.substr(0, length);
        path.resize(path.size() * 2); // a longer path than MAX_PATH: never start a truncated one
    }
}

std::wstring ReadCurrentDirectory()
{
    std::wstring directory(GetCurrentDirectoryW(0, NULL), L'\0');
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), &directory[0]);
    directory.resize(length < directory.size() ? length : 0);
    return directory;
}
} // namespace

UINT ReadAdminFlag()
{
    return GetPrivateProfileIntW(L"setting", L"Administrator", 0, SettingsFile);
}

bool IsRunningAsAdmin()
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = NULL;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(NULL, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

bool MustRelaunchElevated(UINT adminFlag, bool runningAsAdmin)
{
    return adminFlag == 1 && !runningAsAdmin;
}

// The elevated copy starts in this process's current directory, so that it reads the
// settings file that was just written.
SHELLEXECUTEINFOW DescribeRelaunch(const wchar_t *program, const wchar_t *directory)
{
    SHELLEXECUTEINFOW relaunch{};
    relaunch.cbSize = sizeof relaunch;
    relaunch.lpVerb = L"runas";
    relaunch.lpFile = program;
    relaunch.lpDirectory = directory;
    relaunch.nShow = SW_HIDE;
    return relaunch;
}

// What the user is told when the relaunch fails; null: nothing.
const wchar_t *DescribeRelaunchError(DWORD error)
{
    switch (error)
    {
    case ERROR_CANCELLED: return L"ShellExecute Cancel.."; // the user declined the prompt
    case ERROR_FILE_NOT_FOUND: return L"File Not Found";
    default: return nullptr;
    }
}

void RelaunchElevated()
{
    std::wstring program = ReadProgramPath();
    std::wstring directory = ReadCurrentDirectory();
    SHELLEXECUTEINFOW relaunch =
        DescribeRelaunch(program.c_str(), directory.empty() ? NULL : directory.c_str());
    if (!ShellExecuteExW(&relaunch))
    {
        if (const wchar_t *text = DescribeRelaunchError(GetLastError()))
            MessageBoxW(NULL, text, L"ERROR", MB_ABORTRETRYIGNORE);
    }
}

void ToggleRunAsAdmin()
{
    if (ReadAdminFlag() == 1)
    {
        WriteAdminFlag(L"0");
        ShowRunAsAdminCheck();
        return; // the running process keeps its rights
    }
    WriteAdminFlag(L"1");
    ShowRunAsAdminCheck();
    // Only a setting that was stored makes the elevated copy run elevated next time
    // too; when it could not be written, this process simply goes on.
    if (MustRelaunchElevated(ReadAdminFlag(), IsRunningAsAdmin()))
    {
        RelaunchElevated();
        Shell_NotifyIconW(NIM_DELETE, &TrayIcon);
        PostQuitMessage(0);
    }
}

void ShowRunAsAdminCheck()
{
    CheckMenuItem(TrayMenu, IDM_RUNASADMIN,
                  MF_BYCOMMAND | (ReadAdminFlag() == 1 ? MF_CHECKED : MF_UNCHECKED));
}
