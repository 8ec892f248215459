// The run-as-administrator setting and the elevated relaunch.
#include "settings/admin.h"

#include "app/startup.h"
#include "app/state.h"
#include "resource.h"
#include "settings/state.h"

#include <sddl.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>
#include <string>

BOOL(WINAPI *StartElevatedCopy)(SHELLEXECUTEINFOW *request) = ShellExecuteExW;

namespace
{
// Relative: the settings live in the current directory, not beside the program.
const wchar_t CurrentDirectoryFile[] = L".\\setting.ini";
const wchar_t ElevationMark[] = L"--elevated";

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
    std::wstring file = FindSettingsFile();
    if (!HoldsBinaryData(file.c_str()))
        WritePrivateProfileStringW(L"setting", L"Administrator", value, file.c_str());
}

// Told when the flag did not reach the file, so that the choice is not lost in silence.
void ReportUnsavedFlag()
{
    std::wstring file = FindSettingsFile();
    std::wstring path(GetFullPathNameW(file.c_str(), 0, NULL, NULL), L'\0');
    DWORD length = GetFullPathNameW(file.c_str(), static_cast<DWORD>(path.size()), &path[0], NULL);
    path.resize(length < path.size() ? length : 0);
    std::wstring text = L"无法保存设置，请确认此文件可以写入：\n" + (path.empty() ? file : path);
    MessageBoxW(NULL, text.c_str(), L"ERROR", MB_OK);
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

std::wstring ReadSystemDirectory()
{
    wchar_t directory[MAX_PATH];
    UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    return std::wstring(directory, length < MAX_PATH ? length : 0);
}

// The same folder, by the file system's rules: letter case and a trailing backslash aside.
bool IsSameFolder(std::wstring first, std::wstring second)
{
    for (std::wstring *folder : {&first, &second})
        if (!folder->empty() && folder->back() == L'\\')
            folder->pop_back();
    return !first.empty() && first.size() == second.size() &&
           CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}
} // namespace

// The settings file: the current directory's own, except at a start from the Run key
// or Task Scheduler, which gives the system folder as the current directory. There the
// file would be missing and unwritable, so the program's own folder holds it instead.
std::wstring ChooseSettingsFile(const wchar_t *currentDirectory, const wchar_t *systemDirectory,
                                const wchar_t *modulePath)
{
    std::wstring program = modulePath;
    size_t folderEnd = program.find_last_of(L'\\');
    if (folderEnd == std::wstring::npos || !IsSameFolder(currentDirectory, systemDirectory))
        return CurrentDirectoryFile;
    return program.substr(0, folderEnd + 1) + L"setting.ini";
}

std::wstring FindSettingsFile()
{
    return ChooseSettingsFile(ReadCurrentDirectory().c_str(), ReadSystemDirectory().c_str(), ModulePath);
}

UINT ReadAdminFlag()
{
    return GetPrivateProfileIntW(L"setting", L"Administrator", 0, FindSettingsFile().c_str());
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

// A SID as Windows writes it, "S-1-…"; empty when it cannot be written.
std::wstring DescribeSid(PSID sid)
{
    wchar_t *text = nullptr;
    std::wstring said = sid != NULL && ConvertSidToStringSidW(sid, &text) ? text : L"";
    LocalFree(text);
    return said;
}

// The account this process runs as; empty when its token cannot be read.
std::wstring ReadProcessUser()
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return L"";
    alignas(TOKEN_USER) BYTE info[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    bool read = GetTokenInformation(token, TokenUser, info, sizeof info, &length);
    CloseHandle(token);
    return read ? DescribeSid(reinterpret_cast<TOKEN_USER *>(info)->User.Sid) : L"";
}

// The mark a hand-over puts on the elevated copy's command line, "--elevated" and the
// handing copy's user. It comes from outside like any argument: anything else is no mark,
// and the user may be any text (ChooseAutostartUser checks it).
bool ReadElevationMark(const wchar_t *arguments, std::wstring *user)
{
    const wchar_t *word = arguments + wcsspn(arguments, L" \t");
    size_t length = wcslen(ElevationMark);
    if (wcsncmp(word, ElevationMark, length) != 0 || wcschr(L" \t", word[length]) == nullptr)
        return false;
    word += length + wcsspn(word + length, L" \t");
    user->assign(word, wcscspn(word, L" \t"));
    return true;
}

bool MustRelaunchElevated(UINT adminFlag, bool runningAsAdmin)
{
    return adminFlag == 1 && !runningAsAdmin;
}

// The elevated copy starts in this process's current directory, so that it reads the
// settings file that was just written. The shell's own error box is not wanted: ours
// follows with Abort, Retry and Ignore. The request completes before it returns, since this
// copy ends right after it; the prompt belongs to owner, the main window where there is one.
SHELLEXECUTEINFOW DescribeRelaunch(HWND owner, const wchar_t *program, const wchar_t *directory,
                                   const wchar_t *parameters)
{
    SHELLEXECUTEINFOW relaunch{};
    relaunch.cbSize = sizeof relaunch;
    relaunch.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    relaunch.hwnd = owner;
    relaunch.lpVerb = L"runas";
    relaunch.lpFile = program;
    relaunch.lpParameters = parameters;
    relaunch.lpDirectory = directory;
    relaunch.nShow = SW_HIDE;
    return relaunch;
}

// What the user is told when the relaunch fails: the two familiar texts, else the system's
// own words for the error and its number, to search for, so that no failure ends the
// program unsaid.
std::wstring DescribeRelaunchError(DWORD error)
{
    switch (error)
    {
    case ERROR_CANCELLED: return L"ShellExecute Cancel.."; // the user declined the prompt
    case ERROR_FILE_NOT_FOUND: return L"File Not Found";
    case ERROR_ELEVATION_REQUIRED: return L"未能获得管理员权限"; // a "runas" that did not elevate
    default: break;
    }
    wchar_t text[512 + 24] = L"";
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                                  text, 512, NULL);
    while (length > 0 && iswspace(text[length - 1]))
        --length;
    wsprintfW(text + length, length == 0 ? L"Error %lu" : L" (%lu)", error);
    return text;
}

// What the user's answer to a failed relaunch means. Abort, or a box that could not be
// shown, ends this process as it always did; Ignore lets a user who cannot elevate reach
// the menu and turn the setting off.
RelaunchOutcome ReadRelaunchAnswer(int answer)
{
    switch (answer)
    {
    case IDRETRY: return RelaunchRetried;
    case IDIGNORE: return RelaunchIgnored;
    default: return RelaunchAbandoned;
    }
}

// Asks for an elevated copy until it starts or the user answers a failure with Abort or
// Ignore. refused: a failure known before asking (this is a marked copy that "runas" did
// not elevate), told first; Retry then asks again, at the user's word only.
RelaunchOutcome RelaunchElevated(DWORD refused)
{
    for (DWORD error = refused;; error = ERROR_SUCCESS)
    {
        if (error == ERROR_SUCCESS)
        {
            std::wstring program = ReadProgramPath();
            std::wstring directory = ReadCurrentDirectory();
            std::wstring mark = std::wstring(ElevationMark) + L" " + ReadProcessUser(); // the signed-in user
            SHELLEXECUTEINFOW relaunch = DescribeRelaunch(
                MainWindow, program.c_str(), directory.empty() ? NULL : directory.c_str(), mark.c_str());
            // The elevated copy may run as another account, which could not even open our guard:
            // it goes for the prompt only, so that no second start slips in while a box is up.
            ReleaseRunningGuard();
            if (StartElevatedCopy(&relaunch))
                return RelaunchStarted;
            error = GetLastError();
            TakeRunningGuard();
        }
        std::wstring text = DescribeRelaunchError(error);
        RelaunchOutcome outcome =
            ReadRelaunchAnswer(MessageBoxW(NULL, text.c_str(), L"ERROR", MB_ABORTRETRYIGNORE));
        if (outcome != RelaunchRetried)
            return outcome;
    }
}

// True when the stored flag now asks for rights this copy lacks: the caller hands over to
// an elevated copy.
bool ToggleRunAsAdmin()
{
    bool turningOn = ReadAdminFlag() != 1;
    WriteAdminFlag(turningOn ? L"1" : L"0");
    ShowRunAsAdminCheck();
    // A choice that did not reach the file is said so, whichever way it went: a flag
    // stuck at 1 would ask for elevation at every start. Nothing else happens then.
    UINT stored = ReadAdminFlag();
    if ((stored == 1) != turningOn)
    {
        ReportUnsavedFlag();
        return false;
    }
    // Only a stored 1 relaunches: the elevated copy reads it and runs elevated next time
    // too. Turning the item off, the running process keeps its rights.
    return MustRelaunchElevated(stored, IsRunningAsAdmin());
}

void ShowRunAsAdminCheck()
{
    CheckMenuItem(TrayMenu, IDM_RUNASADMIN,
                  MF_BYCOMMAND | (ReadAdminFlag() == 1 ? MF_CHECKED : MF_UNCHECKED));
}
