// What the in-process tests share.
#include "support.h"

#include "app/startup.h"
#include "app/state.h"
#include "hook/state.h"
#include "hook/upkeep.h"
#include "menuicons/state.h"
#include "resource.h"

#include <gtest/gtest.h>

std::vector<LPARAM> ReceivedCommands;
int ReceivedInputs;
std::vector<std::wstring> BoxesShown;

namespace
{
// The program's own entry runs once for the whole test program; WM_QUIT is already
// waiting, so the message loop returns at once and leaves everything set up. Its
// shut-down must have released the imaging; the tests then go on with it started again.
class ProgramStarted : public testing::Environment
{
    void SetUp() override
    {
        // Started again by a relaunch under test: leave the mark it names, nothing else.
        wchar_t mark[MAX_PATH];
        if (GetEnvironmentVariableW(L"QUINDLE_RELAUNCH_MARK", mark, MAX_PATH) != 0)
            ExitProcess(CloseHandle(CreateFileW(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL)) ? 0
                                                                                                       : 1);
        PostQuitMessage(0);
        wchar_t noArguments[] = L"";
        ASSERT_EQ(wWinMain(GetModuleHandleW(NULL), NULL, noArguments, SW_SHOWDEFAULT), 0);
        EXPECT_EQ(ImagingFactory, nullptr) << "shut-down ran";
        EXPECT_EQ(OleInitResult, E_FAIL) << "shut-down ran";
        // The end of the loop is a way out: session changes given up, no watchdog left.
        EXPECT_EQ(SessionNotificationWindow, nullptr);
        EXPECT_FALSE(KillTimer(MainWindow, WatchdogTimerId));
        StartProcess();
    }
    void TearDown() override { EndProcess(); }
};
testing::Environment *const Started = testing::AddGlobalTestEnvironment(new ProgramStarted);

const wchar_t *AnsweredTitle;
std::vector<int> Answers;
UINT_PTR AnswerTimer;

// Gives the next answer, or the box's Abort or OK, as a press of that button would.
void CALLBACK AnswerBox(HWND, UINT, UINT_PTR, DWORD)
{
    HWND box = FindOwnNotice(AnsweredTitle);
    if (box == NULL)
        return;
    BoxesShown.push_back(MessageText(box));
    int answer = Answers.empty() ? (GetDlgItem(box, IDABORT) ? IDABORT : IDOK) : Answers.front();
    if (!Answers.empty())
        Answers.erase(Answers.begin());
    EXPECT_NE(GetDlgItem(box, answer), nullptr) << "no button " << answer;
    EndDialog(box, answer);
}

LRESULT CALLBACK FakeTaskbarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APPCOMMAND)
    {
        ReceivedCommands.push_back(lParam);
        return TRUE;
    }
    if ((message >= WM_MOUSEFIRST && message <= WM_MOUSELAST && message != WM_MOUSEMOVE))
        ++ReceivedInputs;
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

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

// Under the Wine prefix's temporary folder, so each test run starts with none.
std::wstring ScratchFolder(const std::wstring &name)
{
    wchar_t temporary[MAX_PATH];
    GetTempPathW(MAX_PATH, temporary);
    std::wstring folder = std::wstring(temporary) + L"quindle-tests";
    CreateDirectoryW(folder.c_str(), NULL);
    folder += L"\\" + name;
    CreateDirectoryW(folder.c_str(), NULL);
    return folder;
}

// Windows counts them for us; Wine does not (GetGuiResources answers 0), but keeps
// the process's GDI handle table, 24-byte entries with a type, where the PEB says.
int CountGdiObjects()
{
    if (DWORD counted = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS))
        return static_cast<int>(counted);
    auto getPeb = reinterpret_cast<const BYTE *(WINAPI *)()>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetCurrentPeb")));
    const BYTE *peb = getPeb();
    auto table = *reinterpret_cast<const BYTE *const *>(peb + 0xF8);
    int count = 0;
    for (int entry = 0; table != nullptr && entry < 0x10000; ++entry)
        count += table[entry * 24 + 14] != 0; // the entry's type
    return count;
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

void AnswerBoxes(const wchar_t *title, std::vector<int> answers)
{
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

HWND ShowFakeTaskbar(const wchar_t *className)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = FakeTaskbarProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    HWND bar = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, className, L"", WS_POPUP | WS_VISIBLE, 100,
                               100, 300, 40, NULL, NULL, windowClass.hInstance, NULL);
    SetForegroundWindow(bar);
    SetCursorPos(250, 120);
    PumpUntil([bar] { return WindowFromPoint(POINT{250, 120}) == bar; });
    return bar;
}

INPUT MouseInput(DWORD flags, DWORD data, ULONG_PTR extraInfo)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    input.mi.mouseData = data;
    input.mi.dwExtraInfo = extraInfo;
    return input;
}

std::vector<LPARAM> CommandsFor(INPUT input)
{
    ReceivedCommands.clear();
    int inputsBefore = ReceivedInputs;
    SendInput(1, &input, sizeof input);
    // Posted commands are taken from the queue before input, so once the event itself
    // is in, so is everything the hooks posted for it.
    EXPECT_TRUE(PumpUntil([inputsBefore] { return ReceivedInputs > inputsBefore; }))
        << "the event never arrived";
    return ReceivedCommands;
}
