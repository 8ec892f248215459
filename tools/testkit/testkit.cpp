// Small Windows-side actions for the tests and the demonstration, one per call:
//
//   testkit launch EXE [DIR]       start Quindle's EXE (in DIR), print "ready PID" once its start-up
//                                  is over, then "exit CODE" when it ends; exits with CODE
//   testkit middle-press EXTRA     inject a middle press and release carrying dwExtraInfo EXTRA
//   testkit menu [ITEM [N]]        open Quindle's tray menu as the shell does and wait for it;
//                                  without ITEM, print "menu X Y WIDTH HEIGHT" and leave it open; with
//                                  ITEM (autostart, admin, pause, rehook, about, exit or dismiss), choose
//                                  it with the arrow keys, each seen highlighted before the next, and
//                                  wait until Quindle has taken the command; N times over
//   testkit keys KEY...            type keys
//   testkit look                   open Quindle's tray menu, read from the screen which of its first
//                                  four items carry a check mark and which of the last two an icon,
//                                  print "checks NAME..." and "icons NAME...", and close it
//   testkit taskbar-created        broadcast the shell's "TaskbarCreated" message
//   testkit close                  close Quindle's hidden window from outside, as another program may
//   testkit window TITLE LOG       show a topmost message box titled TITLE; log "ready" once it
//                                  shows and "close" if it is closed
//   testkit notice TITLE           wait until Quindle's message box titled TITLE shows and closes
//                                  again; print "shown MS" for how long it stayed
//   testkit record LOG ARGS...     append ARGS to LOG, one line (a stand-in URL handler)
//   testkit rehooks N              choose Re-hook N times, each time closing its notice
//   testkit eat wheel|all          stand for Quindle's hook dropped: a low-level hook installed after
//                                  it that eats the wheel, or every mouse event (then moving the
//                                  pointer itself and posting clicks to the window under it); prints
//                                  "ready" once installed and runs until ended
//   testkit post MESSAGE WPARAM    post a message to Quindle's window and wait until it is handled
//   testkit footprint PID          print "threads T handles H gdi G user U private P workingset W" of a
//                                  process
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <utility>
#include <vector>
#include <wchar.h>

namespace
{
constexpr DWORD Deadline = 10000;

template <typename Condition> bool WaitFor(Condition done, DWORD milliseconds = Deadline)
{
    ULONGLONG end = GetTickCount64() + milliseconds;
    while (!done())
    {
        if (GetTickCount64() > end)
            return false;
        Sleep(10);
    }
    return true;
}

void AppendLine(const wchar_t *path, const char *text)
{
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, NULL);
    WriteFile(file, "\n", 1, &written, NULL);
    CloseHandle(file);
}

HWND FindWindowOf(DWORD process, const wchar_t *className, const wchar_t *title);

int Launch(wchar_t *program, const wchar_t *directory)
{
    wchar_t commandLine[MAX_PATH + 2];
    swprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", program);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, commandLine, NULL, NULL, FALSE, 0, NULL, directory, &startup, &process))
    {
        printf("failed %lu\n", GetLastError());
        return 255;
    }
    // Under Wine, WaitForInputIdle returns as soon as start-up first finds the queue
    // empty, before any window exists, and at once when the program has ended. Start-up
    // is over once the program's window exists and its thread answers from the loop.
    WaitForInputIdle(process.hProcess, 30000);
    HWND window = NULL;
    DWORD_PTR answer = 0;
    WaitFor(
        [&] {
            window = FindWindowOf(process.dwProcessId, L"Quindle", L"Quindle");
            return window != NULL || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
        },
        30000);
    if (window != NULL && SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &answer))
    {
        printf("ready %lu\n", process.dwProcessId);
        fflush(stdout);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    printf("exit %lu\n", code);
    fflush(stdout);
    return static_cast<int>(code);
}

int MiddlePress(ULONG_PTR extraInfo)
{
    INPUT inputs[2] = {};
    inputs[0].type = inputs[1].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_MIDDLEDOWN;
    inputs[1].mi.dwFlags = MOUSEEVENTF_MIDDLEUP;
    inputs[0].mi.dwExtraInfo = inputs[1].mi.dwExtraInfo = extraInfo;
    return SendInput(2, inputs, sizeof(INPUT)) == 2 ? 0 : 1;
}

WORD KeyCode(const wchar_t *name)
{
    if (wcscmp(name, L"down") == 0)
        return VK_DOWN;
    if (wcscmp(name, L"up") == 0)
        return VK_UP;
    if (wcscmp(name, L"return") == 0)
        return VK_RETURN;
    if (wcscmp(name, L"escape") == 0)
        return VK_ESCAPE;
    return static_cast<WORD>(towupper(name[0])); // letters: their virtual-key code
}

void PressKey(WORD key)
{
    INPUT inputs[2] = {};
    inputs[0].type = inputs[1].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = inputs[1].ki.wVk = key;
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

// Popup menus are top-level windows of this class; hidden ones may linger.
HWND VisibleMenu()
{
    HWND menu = NULL;
    while ((menu = FindWindowExW(NULL, menu, L"#32768", NULL)) != NULL && !IsWindowVisible(menu))
        ;
    return menu;
}

// The menu as the user sees it: menus cannot be read from another process (under Wine
// GetMenuItemInfoW fails on the handle MN_GETHMENU gives), so tests read its pixels.
struct MenuPicture
{
    int Width = 0, Height = 0;
    std::vector<BYTE> Pixels; // 32-bit BGRX, top row first
};

MenuPicture TakeMenuPicture(HWND menu)
{
    MenuPicture picture;
    RECT bounds{};
    GetWindowRect(menu, &bounds);
    picture.Width = bounds.right - bounds.left;
    picture.Height = bounds.bottom - bounds.top;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.Width;
    info.bmiHeader.biHeight = -picture.Height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    if (bitmap != NULL)
    {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, picture.Width, picture.Height, screen, bounds.left, bounds.top, SRCCOPY);
        SelectObject(memory, old);
        picture.Pixels.assign(static_cast<BYTE *>(bits),
                              static_cast<BYTE *>(bits) + picture.Width * picture.Height * 4);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return picture;
}

const BYTE *PixelAt(const MenuPicture &picture, int x, int y)
{
    return picture.Pixels.data() + (y * picture.Width + x) * 4;
}

// Text and marks, not the light edges; the highlight bar counts as ink too.
bool IsInk(const MenuPicture &picture, int x, int y)
{
    const BYTE *pixel = PixelAt(picture, x, y);
    return pixel[0] + pixel[1] + pixel[2] < 3 * 140;
}

bool InkedRow(const MenuPicture &picture, int y, int from, int to)
{
    for (int x = from; x < to; ++x)
        if (IsInk(picture, x, y))
            return true;
    return false;
}

// The six items with text, as their first and last rows: rows with ink well inside the
// text column, a few blank rows allowed inside thin characters. Empty until the menu
// shows all six, which may take a moment after it appears.
std::vector<std::pair<int, int>> TextLines(const MenuPicture &picture)
{
    std::vector<std::pair<int, int>> lines;
    for (int y = 0; y < picture.Height;)
    {
        if (!InkedRow(picture, y, 40, picture.Width - 4))
        {
            ++y;
            continue;
        }
        int first = y, last = y;
        for (int blank = 0; y < picture.Height && blank <= 3; ++y)
            if (InkedRow(picture, y, 40, picture.Width - 4))
                last = y, blank = 0;
            else
                ++blank;
        lines.emplace_back(first, last);
    }
    if (lines.size() != 6)
        lines.clear();
    return lines;
}

// The item drawn highlighted: the bar fills its whole width, far right included, where
// no text ever reaches. -1: none.
int HighlightedItem(const MenuPicture &picture, const std::vector<std::pair<int, int>> &lines)
{
    COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    for (size_t item = 0; item < lines.size(); ++item)
    {
        const BYTE *pixel = PixelAt(picture, picture.Width - 6, (lines[item].first + lines[item].second) / 2);
        if (RGB(pixel[2], pixel[1], pixel[0]) == highlight)
            return static_cast<int>(item);
    }
    return -1;
}

const wchar_t *const ItemNames[] = {L"autostart", L"admin", L"pause", L"rehook", L"about", L"exit"};

// Opens Quindle's tray menu as the shell does on a right press, and waits until all its
// items show. Returns the menu window, or null.
HWND OpenMenu(std::vector<std::pair<int, int>> *lines)
{
    HWND quindle = NULL;
    if (!WaitFor([&] { return (quindle = FindWindowW(L"Quindle", L"Quindle")) != NULL; }))
    {
        printf("no Quindle window\n");
        return NULL;
    }
    // A menu opened just as a closing notice hands the focus back is cancelled at once,
    // as under a real pointer; press again.
    HWND menu = NULL;
    for (int attempt = 0; attempt < 3 && menu == NULL; ++attempt)
    {
        PostMessageW(quindle, WM_USER, 0, WM_RBUTTONDOWN);
        WaitFor([&] { return (menu = VisibleMenu()) != NULL; }, 3000);
    }
    if (menu == NULL || !WaitFor([&] { return !(*lines = TextLines(TakeMenuPicture(menu))).empty(); }))
    {
        printf(menu == NULL ? "the menu did not open\n" : "the menu did not show its six items\n");
        return NULL;
    }
    return menu;
}

// Presses the key, again if it was lost, until the menu has closed.
bool CloseMenuWith(WORD key)
{
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        PressKey(key);
        if (WaitFor([] { return VisibleMenu() == NULL; }, attempt < 2 ? 3000 : Deadline))
            return true;
    }
    return false;
}

// Chooses the item from the menu with the keyboard, as a user would, and returns once
// Quindle has taken the command. Each arrow key's effect is seen on screen before the
// next, and a key that got lost is pressed again: the item chosen is the one named, or
// the action fails saying which was highlighted instead.
int Choose(const wchar_t *item)
{
    std::vector<std::pair<int, int>> lines;
    HWND menu = OpenMenu(&lines);
    if (menu == NULL)
        return 1;
    if (wcscmp(item, L"dismiss") == 0)
        return CloseMenuWith(VK_ESCAPE) ? 0 : (printf("the menu did not close\n"), 1);
    int wanted = 0;
    while (wanted < 6 && wcscmp(ItemNames[wanted], item) != 0)
        ++wanted;
    if (wanted == 6)
    {
        printf("no item %ls\n", item);
        return 1;
    }
    // All the arrows at once; then, while the highlight stands still for a second short of
    // the item, one more at a time.
    auto highlighted = [&] { return HighlightedItem(TakeMenuPicture(menu), lines); };
    int now = highlighted();
    for (int press = now; press != wanted; press += now == -1 || now < wanted ? 1 : -1)
        PressKey(now == -1 || now < wanted ? VK_DOWN : VK_UP); // from none, Down goes to the first
    for (int presses = 0; presses < 20; ++presses)
    {
        for (ULONGLONG still = GetTickCount64() + 1000; now != wanted && GetTickCount64() < still;)
        {
            Sleep(10);
            if (int seen = highlighted(); seen != now)
                now = seen, still = GetTickCount64() + 1000;
        }
        if (now == wanted)
            break;
        PressKey(now == -1 || now < wanted ? VK_DOWN : VK_UP);
    }
    if (now != wanted)
    {
        printf("wanted %ls, found %ls highlighted\n", item, now == -1 ? L"nothing" : ItemNames[now]);
        return 1;
    }
    PressKey(VK_RETURN);
    if (!WaitFor([] { return VisibleMenu() == NULL; }))
    {
        printf("the menu did not close after choosing %ls\n", item);
        return 1;
    }
    // Answered only once Quindle pumps messages again: the command has been carried
    // out, or has opened a message box of its own.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(FindWindowW(L"Quindle", L"Quindle"), WM_NULL, 0, 0, SMTO_NORMAL, Deadline, &result);
    return 0;
}

// Opens the menu and leaves it open, to be looked at: prints "menu X Y WIDTH HEIGHT".
int ShowMenu()
{
    std::vector<std::pair<int, int>> lines;
    HWND menu = OpenMenu(&lines);
    if (menu == NULL)
        return 1;
    RECT bounds{};
    GetWindowRect(menu, &bounds);
    printf("menu %ld %ld %ld %ld\n", bounds.left, bounds.top, bounds.right - bounds.left,
           bounds.bottom - bounds.top);
    return 0;
}

// Check marks and icons as the user sees them: an item is checked, or shows its icon,
// when the margin to the left of its line has ink.
int Look()
{
    std::vector<std::pair<int, int>> lines;
    HWND menu = OpenMenu(&lines);
    if (menu == NULL)
        return 1;
    MenuPicture picture = TakeMenuPicture(menu);
    // Pause and Re-hook never carry a mark: where their text starts, the text column does.
    int text = picture.Width;
    for (int line : {2, 3})
        for (int y = lines[line].first; y <= lines[line].second; ++y)
            for (int x = 2; x < text; ++x)
                if (IsInk(picture, x, y))
                    text = x;
    auto marked = [&](int line) {
        for (int y = lines[line].first; y <= lines[line].second; ++y)
            if (InkedRow(picture, y, 2, text - 2))
                return true;
        return false;
    };
    printf("checks");
    for (int line = 0; line < 6; ++line)
    {
        if (line == 4)
            printf("\nicons"); // what the margin holds beside About and Exit
        if (marked(line))
            printf(" %ls", ItemNames[line]);
    }
    printf("\n");
    fflush(stdout);
    return CloseMenuWith(VK_ESCAPE) ? 0 : 1;
}

int BroadcastTaskbarCreated()
{
    // Sent, not posted: it returns once every top-level window has handled it.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_NORMAL,
                        Deadline, &result);
    return 0;
}

// The window of the process with this title and class, or null.
HWND FindWindowOf(DWORD process, const wchar_t *className, const wchar_t *title)
{
    HWND window = NULL;
    while ((window = FindWindowExW(NULL, window, className, title)) != NULL)
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == process)
            return window;
    }
    return NULL;
}

// Another program's message box that happens to carry the same title, holding
// someone's unsaved work. It keeps itself at the top, so that a search by title
// meets it before any other.
int Window(const wchar_t *title, const wchar_t *log)
{
    CreateThread(
        NULL, 0,
        [](void *parameter) -> DWORD {
            auto arguments = static_cast<const wchar_t *const *>(parameter);
            HWND box = NULL;
            if (!WaitFor([&] {
                    return (box = FindWindowOf(GetCurrentProcessId(), L"#32770", arguments[0])) != NULL;
                }))
                return 1;
            AppendLine(arguments[1], "ready");
            while (IsWindow(box))
            {
                SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
                Sleep(50);
            }
            return 0;
        },
        new const wchar_t *[2] { title, log }, 0, NULL);
    MessageBoxW(NULL, L"Unsaved work", title, MB_OKCANCEL | MB_TOPMOST);
    AppendLine(log, "close");
    return 0;
}

int Notice(const wchar_t *title)
{
    DWORD quindle = 0;
    GetWindowThreadProcessId(FindWindowW(L"Quindle", L"Quindle"), &quindle);
    auto box = [&] { return FindWindowOf(quindle, L"#32770", title); };
    if (!WaitFor([&] { return box() != NULL; }))
    {
        printf("no notice\n");
        return 1;
    }
    ULONGLONG shown = GetTickCount64();
    if (!WaitFor([&] { return box() == NULL; }))
    {
        printf("the notice stayed\n");
        return 1;
    }
    printf("shown %llu\n", GetTickCount64() - shown);
    return 0;
}

int ChooseTimes(const wchar_t *item, int times)
{
    for (int i = 0; i < times; ++i)
        if (Choose(item) != 0)
            return 1;
    return 0;
}

// Each notice is closed as soon as it shows, as a user would with its close button;
// the notices' own closers race with that, and whichever comes first is fine.
int Rehooks(int times)
{
    DWORD quindle = 0;
    GetWindowThreadProcessId(FindWindowW(L"Quindle", L"Quindle"), &quindle);
    auto notice = [&] { return FindWindowOf(quindle, L"#32770", L"REHOOK"); };
    for (int i = 0; i < times; ++i)
    {
        // Choose returns once Quindle pumps messages again: inside the notice's loop.
        if (Choose(L"rehook") != 0)
            return 1;
        if (HWND shown = notice())
            PostMessageW(shown, WM_CLOSE, 0, 0);
        if (!WaitFor([&] { return notice() == NULL; }))
        {
            printf("a notice stayed\n");
            return 1;
        }
    }
    return 0;
}

DWORD CountedOwner, CountedWindows;

BOOL CALLBACK CountWindow(HWND window, LPARAM)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    CountedWindows += owner == CountedOwner;
    return TRUE;
}

BOOL CALLBACK CountWindowAndChildren(HWND window, LPARAM)
{
    CountWindow(window, 0);
    EnumChildWindows(window, CountWindow, 0);
    return TRUE;
}

// What a process holds. Wine answers 0 to GetProcessHandleCount and GetGuiResources;
// there the handles come from the system's handle list, GDI objects from the
// process's GDI handle table (24-byte entries, type at byte 14, found through its
// PEB), and USER objects are counted as its windows, the only ones that can be listed.
int Footprint(DWORD process)
{
    HANDLE target = NULL;
    if (!WaitFor([&] {
            return (target = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process)) !=
                   NULL;
        }))
    {
        printf("no process %lu (error %lu)\n", process, GetLastError());
        return 1;
    }
    DWORD handles = 0;
    GetProcessHandleCount(target, &handles);
    using QuerySystem = LONG(WINAPI *)(int, void *, ULONG, ULONG *);
    using QueryProcess = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto querySystem = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    auto queryProcess = reinterpret_cast<QueryProcess>(
        reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
    if (handles == 0)
    {
        struct Entry
        {
            ULONG process;
            BYTE type, flags;
            USHORT handle;
            void *object;
            ACCESS_MASK access;
        };
        std::vector<BYTE> list(4 << 20);
        if (querySystem(16 /* SystemHandleInformation */, list.data(), ULONG(list.size()), nullptr) == 0)
        {
            auto entries = reinterpret_cast<const Entry *>(list.data() + sizeof(ULONG_PTR));
            for (ULONG i = 0, count = *reinterpret_cast<ULONG *>(list.data()); i < count; ++i)
                handles += entries[i].process == process;
        }
    }
    DWORD gdi = GetGuiResources(target, GR_GDIOBJECTS);
    if (gdi == 0)
    {
        PVOID basic[6] = {}; // PROCESS_BASIC_INFORMATION: the PEB's address is the second field
        const BYTE *table = nullptr;
        SIZE_T read = 0;
        if (queryProcess(target, 0, basic, sizeof basic, nullptr) == 0 &&
            ReadProcessMemory(target, static_cast<BYTE *>(basic[1]) + 0xF8, &table, sizeof table, &read) &&
            table)
        {
            std::vector<BYTE> entries(0x10000 * 24);
            if (ReadProcessMemory(target, table, entries.data(), entries.size(), &read))
                for (size_t i = 0; i < 0x10000; ++i)
                    gdi += entries[i * 24 + 14] != 0;
        }
    }
    DWORD user = GetGuiResources(target, GR_USEROBJECTS);
    if (user == 0)
    {
        CountedOwner = process;
        CountedWindows = 0;
        EnumWindows(CountWindowAndChildren, 0);
        user = CountedWindows;
    }
    DWORD threads = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread))
        threads += thread.th32OwnerProcessID == process;
    CloseHandle(snapshot);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(target, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&memory), sizeof memory);
    SIZE_T privateBytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
    printf("threads %lu handles %lu gdi %lu user %lu private %zu workingset %zu\n", threads, handles, gdi,
           user, privateBytes, memory.WorkingSetSize);
    CloseHandle(target);
    return 0;
}

bool EatAll;
DWORD EaterThread;

// Installed after Quindle's hook, so called before it: what it eats, Quindle's never sees.
LRESULT CALLBACK EatProc(int code, WPARAM message, LPARAM event)
{
    if (code != HC_ACTION || (message != WM_MOUSEWHEEL && !EatAll))
        return CallNextHookEx(NULL, code, message, event);
    POINT at = reinterpret_cast<const MSLLHOOKSTRUCT *>(event)->pt;
    if (message != WM_MOUSEWHEEL) // carried out below, out of Quindle's sight
        PostThreadMessageW(EaterThread, WM_APP + static_cast<UINT>(message), 0, MAKELPARAM(at.x, at.y));
    return 1;
}

int Eat(bool all)
{
    EatAll = all;
    EaterThread = GetCurrentThreadId();
    if (SetWindowsHookExW(WH_MOUSE_LL, EatProc, GetModuleHandleW(NULL), 0) == NULL)
        return 1;
    printf("ready\n");
    fflush(stdout);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0)
    {
        if (message.hwnd != NULL || message.message < WM_APP)
        {
            DispatchMessageW(&message);
            continue;
        }
        UINT mouse = message.message - WM_APP;
        POINT at{static_cast<short>(LOWORD(message.lParam)), static_cast<short>(HIWORD(message.lParam))},
            now{};
        GetCursorPos(&now);
        if (mouse == WM_MOUSEMOVE && (now.x != at.x || now.y != at.y))
            SetCursorPos(at.x, at.y); // the pointer still moves
        else if (HWND window = mouse == WM_MOUSEMOVE ? NULL : WindowFromPoint(at))
        {
            ScreenToClient(window, &at); // the stand-ins still get their marker clicks
            PostMessageW(window, mouse, 0, MAKELPARAM(at.x, at.y));
        }
    }
    return 0;
}

// Sent messages are handled before posted ones: the first reply comes before the
// posted message is handled, the second only after.
int Post(UINT message, WPARAM wParam)
{
    HWND quindle = FindWindowW(L"Quindle", L"Quindle");
    if (quindle == NULL || !PostMessageW(quindle, message, wParam, 0))
        return 1;
    DWORD_PTR result = 0;
    for (int i = 0; i < 2; ++i)
        SendMessageTimeoutW(quindle, WM_NULL, 0, 0, SMTO_NORMAL, Deadline, &result);
    return 0;
}

int Record(const wchar_t *log, int count, wchar_t **arguments)
{
    char line[2048] = "";
    for (int i = 0; i < count; ++i)
    {
        char part[1024];
        WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, part, sizeof part, NULL, NULL);
        if (i > 0)
            strncat(line, " ", sizeof line - strlen(line) - 1);
        strncat(line, part, sizeof line - strlen(line) - 1);
    }
    AppendLine(log, line);
    return 0;
}
} // namespace

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *action = argc >= 2 ? argv[1] : L"";
    if (wcscmp(action, L"launch") == 0 && argc >= 3)
        return Launch(argv[2], argc >= 4 ? argv[3] : nullptr);
    if (wcscmp(action, L"middle-press") == 0 && argc >= 3)
        return MiddlePress(static_cast<ULONG_PTR>(wcstoull(argv[2], nullptr, 0)));
    if (wcscmp(action, L"menu") == 0)
        return argc == 2 ? ShowMenu() : ChooseTimes(argv[2], argc >= 4 ? _wtoi(argv[3]) : 1);
    if (wcscmp(action, L"look") == 0)
        return Look();
    if (wcscmp(action, L"keys") == 0)
    {
        for (int i = 2; i < argc; ++i)
            PressKey(KeyCode(argv[i]));
        return 0;
    }
    if (wcscmp(action, L"taskbar-created") == 0)
        return BroadcastTaskbarCreated();
    if (wcscmp(action, L"close") == 0)
        return PostMessageW(FindWindowW(L"Quindle", L"Quindle"), WM_CLOSE, 0, 0) ? 0 : 1;
    if (wcscmp(action, L"window") == 0 && argc >= 4)
        return Window(argv[2], argv[3]);
    if (wcscmp(action, L"notice") == 0 && argc >= 3)
        return Notice(argv[2]);
    if (wcscmp(action, L"rehooks") == 0 && argc >= 3)
        return Rehooks(_wtoi(argv[2]));
    if (wcscmp(action, L"eat") == 0 && argc >= 3)
        return Eat(wcscmp(argv[2], L"all") == 0);
    if (wcscmp(action, L"post") == 0 && argc >= 4)
        return Post(static_cast<UINT>(wcstoul(argv[2], nullptr, 0)),
                    static_cast<WPARAM>(wcstoull(argv[3], nullptr, 0)));
    if (wcscmp(action, L"footprint") == 0 && argc >= 3)
        return Footprint(static_cast<DWORD>(_wtoi(argv[2])));
    if (wcscmp(action, L"record") == 0 && argc >= 3)
        return Record(argv[2], argc - 3, argv + 3);
    fprintf(stderr, "usage: see the top of testkit.cpp\n");
    return 2;
}
