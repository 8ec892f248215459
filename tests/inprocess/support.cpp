// What the in-process tests share.
#include "support.h"

#include "app/startup.h"
#include "app/state.h"
#include "hook/state.h"
#include "hook/upkeep.h"
#include "menuicons/state.h"
#include "resource.h"

#include "app/tray.h"
#include "hook/wheel_hook.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

std::vector<LPARAM> ReceivedCommands;
std::vector<UINT> ReceivedInputs;
std::vector<std::wstring> BoxesShown;
const std::vector<LPARAM> None, OneUp = {0x000A0000};
NoticeSeen Notice;
std::atomic<long> LiveBlocks;
std::atomic<long> AllocationsAllowed = -1;
void (*BeforeNextAllocation)();

namespace
{
void *Allocate(std::size_t size)
{
    if (auto before = BeforeNextAllocation)
    {
        BeforeNextAllocation = nullptr;
        before();
    }
    if (AllocationsAllowed == 0)
        return nullptr;
    if (AllocationsAllowed > 0)
        --AllocationsAllowed;
    void *block = std::malloc(size ? size : 1);
    if (block != nullptr)
        ++LiveBlocks;
    return block;
}
} // namespace

void *operator new(std::size_t size)
{
    if (void *block = Allocate(size))
        return block;
    throw std::bad_alloc();
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return Allocate(size);
}

void operator delete(void *block) noexcept
{
    if (block != nullptr)
        --LiveBlocks;
    std::free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    operator delete(block);
}

namespace
{
// The sandbox: this process's HKEY_CURRENT_USER and HKEY_CLASSES_ROOT are keys of its
// own under the real HKEY_CURRENT_USER, and its files live in a folder of its own under
// %TEMP%, which is also its current directory. Fixed names, so that a run emptied
// what a crashed one left; both are deleted at the end.
const wchar_t SandboxParentKey[] = L"Software\\Quindle tests";
const wchar_t SandboxKey[] = L"Software\\Quindle tests\\in-process";
const wchar_t SandboxFolderName[] = L"quindle-inprocess-tests";
std::wstring Sandbox;
std::wstring StartingDirectory;
HKEY SandboxClasses;

// Deletes a folder and everything in it, read-only files included.
void DeleteFolder(const std::wstring &folder)
{
    if (folder.empty()) // never the current drive's root
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
    {
        std::wstring name = found.cFileName, path = folder + L"\\" + name;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            DeleteFolder(path);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    RemoveDirectoryW(folder.c_str());
}

HKEY CreateSandboxKey(const wchar_t *root)
{
    HKEY key = NULL;
    std::wstring path = std::wstring(SandboxKey) + L"\\" + root;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return NULL;
    return key;
}

// HKEY_CURRENT_USER first: every setting the program reads or writes lives there.
// HKEY_CLASSES_ROOT follows once the program has started (see below).
void EnterSandbox()
{
    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    StartingDirectory = directory;
    RegDeleteTreeW(HKEY_CURRENT_USER, SandboxKey);
    HKEY user = CreateSandboxKey(L"HKEY_CURRENT_USER"), users = CreateSandboxKey(L"HKEY_USERS");
    SandboxClasses = CreateSandboxKey(L"HKEY_CLASSES_ROOT");
    ASSERT_TRUE(user != NULL && users != NULL && SandboxClasses != NULL);
    ASSERT_EQ(RegOverridePredefKey(HKEY_USERS, users), ERROR_SUCCESS); // another account's keys
    HKEY run = NULL;                                                   // Windows always has one
    RegCreateKeyExW(user, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0, NULL, 0, KEY_READ, NULL,
                    &run, NULL);
    RegCloseKey(run);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, user), ERROR_SUCCESS);
    RegCloseKey(user); // the overrides keep their own reference
    RegCloseKey(users);

    wchar_t temporary[MAX_PATH] = L"";
    ASSERT_NE(GetTempPathW(MAX_PATH, temporary), 0u);
    Sandbox = std::wstring(temporary) + SandboxFolderName;
    DeleteFolder(Sandbox);
    ASSERT_TRUE(CreateDirectoryW(Sandbox.c_str(), NULL));
    ASSERT_TRUE(SetCurrentDirectoryW(Sandbox.c_str()));
}

void LeaveSandbox()
{
    SetCurrentDirectoryW(StartingDirectory.c_str());
    DeleteFolder(Sandbox);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, NULL);
    RegOverridePredefKey(HKEY_CURRENT_USER, NULL);
    RegOverridePredefKey(HKEY_USERS, NULL);
    RegDeleteTreeW(HKEY_CURRENT_USER, SandboxKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, SandboxKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, SandboxParentKey); // only when no other test program uses it
}

// The program's own entry runs once for the whole test program; WM_QUIT is already
// waiting, so the message loop returns at once and leaves everything set up. Its
// shut-down must have released the imaging; the tests then go on with it started again.
class ProgramStarted : public testing::Environment
{
    void SetUp() override
    {
        // Started again by a relaunch under test: leave the mark it names, nothing else,
        // and above all not the sandbox of the test program that started it.
        wchar_t mark[MAX_PATH];
        if (GetEnvironmentVariableW(L"QUINDLE_RELAUNCH_MARK", mark, MAX_PATH) != 0)
            ExitProcess(CloseHandle(CreateFileW(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL)) ? 0
                                                                                                       : 1);
        EnterSandbox();
        if (testing::Test::HasFatalFailure())
            return; // no test runs outside the sandbox
        // A copy of Quindle may run beside the tests.
        RunningGuardName = L"Local\\Quindle in-process tests";
        PostQuitMessage(0);
        wchar_t noArguments[] = L"";
        ASSERT_EQ(wWinMain(GetModuleHandleW(NULL), NULL, noArguments, SW_SHOWDEFAULT), 0);
        EXPECT_EQ(ImagingFactory, nullptr) << "shut-down ran";
        EXPECT_EQ(OleInitResult, E_FAIL) << "shut-down ran";
        // The end of the loop is a way out: session changes given up, no watchdog left.
        EXPECT_EQ(SessionNotificationWindow, nullptr);
        EXPECT_FALSE(KillTimer(MainWindow, WatchdogTimerId));
        StartProcess();
        // COM finds the imaging component's class through HKEY_CLASSES_ROOT: that root
        // joins the sandbox once the factory exists.
        ASSERT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, SandboxClasses), ERROR_SUCCESS);
        RegCloseKey(SandboxClasses);
        SandboxClasses = NULL;
    }
    void TearDown() override
    {
        Shell_NotifyIconW(NIM_DELETE, &TrayIcon); // no icon left on the desktop
        EndProcess();
        LeaveSandbox();
    }
};
testing::Environment *const Started = testing::AddGlobalTestEnvironment(new ProgramStarted);

const wchar_t *AnsweredTitle;
std::vector<int> Answers;
void (*Behind)();
UINT_PTR AnswerTimer;

// Gives the next answer, or the box's Abort or OK, as a press of that button would.
void CALLBACK AnswerBox(HWND, UINT, UINT_PTR, DWORD)
{
    static bool clicking; // this tick came inside a menu that the click behind the box opened
    EndMenu();            // that one, or one that opened where none should: the user closes it
    HWND box = FindOwnNotice(AnsweredTitle);
    if (clicking || box == NULL)
        return;
    clicking = true;
    if (Behind)
        Behind();
    clicking = false;
    BoxesShown.push_back(MessageText(box));
    int answer = Answers.empty() ? (GetDlgItem(box, IDABORT) ? IDABORT : IDOK) : Answers.front();
    if (!Answers.empty())
        Answers.erase(Answers.begin());
    EXPECT_NE(GetDlgItem(box, answer), nullptr) << "no button " << answer;
    EndDialog(box, answer);
}

bool MarkerArrived;

// The fake taskbar and its child windows. Only the taskbar itself takes commands: one
// posted to a child is lost, as a command sent to the wrong window would be.
LRESULT CALLBACK FakeTaskbarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APPCOMMAND)
    {
        if (GetParent(window) == NULL)
            ReceivedCommands.push_back(lParam);
        return TRUE;
    }
    if (message == WM_XBUTTONUP) // the marker after each event; no command of its own
    {
        MarkerArrived = true;
        return TRUE;
    }
    if ((message >= WM_MOUSEFIRST && message <= WM_MOUSELAST && message != WM_MOUSEMOVE))
        ReceivedInputs.push_back(message);
    if (message == WM_MOUSEWHEEL)
        return 0; // counted once, where it arrived: DefWindowProcW hands it on to the parent
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

void Reset()
{
    InstallWheelHook();
    UpdateHookState();
    AddTrayIcon();
    StopIconRetries(); // the icon was there already: the shell refused the second add
    TakeQuitMessage();
    TakeRunningGuard();
    HandingOver = false;
}

std::vector<IconImage> IconGroupImages(UINT group, WORD language)
{
    HMODULE module = GetModuleHandleW(NULL);
    HRSRC found = FindResourceExW(module, RT_GROUP_ICON, MAKEINTRESOURCEW(group), language);
    auto directory = found ? static_cast<const BYTE *>(LockResource(LoadResource(module, found))) : nullptr;
    std::vector<IconImage> images;
    for (WORD i = 0, count = directory ? *reinterpret_cast<const WORD *>(directory + 4) : 0; i < count; ++i)
    {
        IconImage image{};
        memcpy(&image.Entry, directory + 6 + i * sizeof image.Entry, sizeof image.Entry);
        HRSRC bytes = FindResourceW(module, MAKEINTRESOURCEW(image.Entry.id), RT_ICON);
        image.Bytes = bytes ? static_cast<const BYTE *>(LockResource(LoadResource(module, bytes))) : nullptr;
        images.push_back(image);
    }
    return images;
}

UINT_PTR WatchNotice(bool close)
{
    static bool closing;
    closing = close;
    Notice = {};
    return SetTimer(NULL, 0, 10, [](HWND, UINT, UINT_PTR, DWORD) {
        HWND notice = FindOwnNotice(L"REHOOK");
        if (Notice.ShownAt != 0 || notice == NULL)
            return;
        Notice = {MessageText(notice), GetTickCount64()};
        if (closing)
            PostMessageW(notice, WM_CLOSE, 0, 0);
    });
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

std::wstring PauseLabel()
{
    wchar_t text[100] = L"";
    GetMenuStringW(TrayMenu, IDM_PAUSE, text, 100, MF_BYCOMMAND);
    return text;
}

bool IconPresent()
{
    NOTIFYICONDATAW probe = TrayIcon;
    return Shell_NotifyIconW(NIM_MODIFY, &probe) != FALSE;
}

bool TakeQuitMessage()
{
    MSG message;
    return PeekMessageW(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring SandboxFolder()
{
    return Sandbox;
}

std::wstring ScratchFolder(const std::wstring &name)
{
    std::wstring folder = Sandbox + L"\\" + name;
    CreateDirectoryW(folder.c_str(), NULL);
    return folder;
}

std::wstring MessageText(HWND box)
{
    std::wstring text;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM found) {
            std::wstring line = TitleOf(child);
            if (ClassOf(child) == L"Static" && !line.empty())
                *reinterpret_cast<std::wstring *>(found) = line;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&text));
    return text;
}

void AnswerBoxes(const wchar_t *title, std::vector<int> answers, void (*behind)())
{
    Behind = behind;
    AnsweredTitle = title;
    Answers = answers;
    BoxesShown.clear();
    AnswerTimer = SetTimer(NULL, AnswerTimer, 50, AnswerBox);
}

void StopAnswering()
{
    KillTimer(NULL, AnswerTimer);
    AnswerTimer = 0;
}

bool ImpersonateStandardUser()
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    SID_AND_ATTRIBUTES disabled{administrators, 0};
    HANDLE process = NULL, restricted = NULL, impersonation = NULL;
    bool done = CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &size) &&
                OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process) &&
                CreateRestrictedToken(process, 0, 1, &disabled, 0, NULL, 0, NULL, &restricted) &&
                DuplicateToken(restricted, SecurityImpersonation, &impersonation) &&
                SetThreadToken(NULL, impersonation);
    for (HANDLE token : {process, restricted, impersonation})
        CloseHandle(token);
    return done;
}

HWND ShowFakeTaskbar(const wchar_t *className, const std::vector<const wchar_t *> &children)
{
    return ShowWindowUnderPointer(className, FakeTaskbarProc, children);
}

std::vector<LPARAM> CommandsFor(INPUT input)
{
    ReceivedCommands.clear();
    ReceivedInputs.clear();
    MarkerArrived = false;
    INPUT inputs[2] = {input, MouseInput(MOUSEEVENTF_XUP, XBUTTON1)};
    SendInput(2, inputs, sizeof(INPUT));
    // Posted commands are taken from the queue before input, so once the marker that
    // followed the event is in, so is everything the hooks posted for the event.
    EXPECT_TRUE(PumpUntil([] { return MarkerArrived; })) << "the marker never arrived";
    return ReceivedCommands;
}
