// Stands in for the Windows taskbar where there is none (under Wine): a bar of a
// given window class that acts on volume commands as the shell does, shows the
// volume and the mute mark, and logs what it receives, one line each.
//
//   standin-taskbar [--class NAME] [--log FILE] [--rect X,Y,W,H] [--late MS] [--children A/B/...]
//
// Log lines: "ready class=NAME", "command up|down|mute lparam=0x... volume=N muted=0|1",
// "input <mouse message>", and, for class Shell_TrayWnd, "tray <NIM_ code>" for
// each notification-area request it accepts, "refused <NIM_ code>" for each it
// answers with FALSE. Like the shell, it refuses a modify while it holds no icon.
// --late MS: a shell still starting, which refuses every request for MS milliseconds
// from the first one. Each tray line ends in " t=<milliseconds since the first>".
// --children A/B/...: child windows of these classes, each filling the one before, as
// taskbars host their content; they log the input they get like the bar, and a command
// that reaches one of them instead of the bar as "stray command lparam=0x...".
#include "hook/state.h"
#include "hook/version.h"

#include <shellapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace
{
wchar_t ClassName[ClassNameLength] = L"Shell_TrayWnd";
const wchar_t StandInTitle[] = L"Taskbar stand-in";
HANDLE LogFile = INVALID_HANDLE_VALUE;
int Volume = 50;
bool Muted = false;
int IconsHeld;                   // adds accepted less deletes accepted
long long LateMilliseconds = -1; // -1: ready from the start
ULONGLONG FirstRequest;          // when the first icon request came, for --late

void WriteLog(const char *format, ...)
{
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0 || LogFile == INVALID_HANDLE_VALUE)
        return;
    if (length > static_cast<int>(sizeof line) - 2)
        length = static_cast<int>(sizeof line) - 2;
    line[length++] = '\n';
    DWORD written = 0;
    WriteFile(LogFile, line, static_cast<DWORD>(length), &written,
              NULL); // unbuffered: readers see it at once
}

void Paint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT area;
    GetClientRect(window, &area);
    HBRUSH background = CreateSolidBrush(RGB(32, 32, 40));
    FillRect(dc, &area, background);
    DeleteObject(background);

    RECT level = {area.left + 8, area.bottom - 14,
                  area.left + 8 + (area.right - area.left - 16) * Volume / 100, area.bottom - 6};
    HBRUSH bar = CreateSolidBrush(Muted ? RGB(120, 120, 120) : RGB(80, 200, 120));
    FillRect(dc, &level, bar);
    DeleteObject(bar);

    wchar_t text[200];
    swprintf(text, 200, L"%ls   volume %d%ls", ClassName, Volume, Muted ? L"   [muted]" : L"");
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(240, 240, 240));
    RECT label = {area.left + 8, area.top + 4, area.right - 8, area.bottom - 16};
    DrawTextW(dc, text, -1, &label, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    EndPaint(window, &paint);
}

bool ApplyCommand(HWND window, LPARAM lParam)
{
    const char *name = nullptr;
    switch (GET_APPCOMMAND_LPARAM(lParam))
    {
    case APPCOMMAND_VOLUME_UP:
        Volume = Volume + 2 > 100 ? 100 : Volume + 2;
        Muted = false;
        name = "up";
        break;
    case APPCOMMAND_VOLUME_DOWN:
        Volume = Volume - 2 < 0 ? 0 : Volume - 2;
        Muted = false;
        name = "down";
        break;
    case APPCOMMAND_VOLUME_MUTE:
        Muted = !Muted;
        name = "mute";
        break;
    default: return false;
    }
    WriteLog("command %s lparam=0x%08llX volume=%d muted=%d", name, static_cast<unsigned long long>(lParam),
             Volume, Muted ? 1 : 0);
    InvalidateRect(window, NULL, TRUE);
    return true;
}

const char *InputName(UINT message)
{
    switch (message)
    {
    case WM_MOUSEWHEEL: return "wheel";
    case WM_MOUSEHWHEEL: return "hwheel";
    case WM_LBUTTONDOWN: return "left-down";
    case WM_LBUTTONUP: return "left-up";
    case WM_RBUTTONDOWN: return "right-down";
    case WM_RBUTTONUP: return "right-up";
    case WM_MBUTTONDOWN: return "middle-down";
    case WM_MBUTTONUP: return "middle-up";
    default: return nullptr;
    }
}

// Input markers tell a test that every hook has seen the event before it.
void LogInput(UINT message, WPARAM wParam)
{
    if (const char *name = InputName(message))
    {
        if (message == WM_MOUSEWHEEL || message == WM_MOUSEHWHEEL)
            WriteLog("input %s %d", name, GET_WHEEL_DELTA_WPARAM(wParam));
        else
            WriteLog("input %s", name);
    }
}

LRESULT CALLBACK ChildProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APPCOMMAND)
    {
        WriteLog("stray command lparam=0x%08llX", static_cast<unsigned long long>(lParam));
        return TRUE;
    }
    LogInput(message, wParam);
    if (message == WM_MOUSEWHEEL)
        return 0; // logged once, where it arrived: DefWindowProcW hands it on to the parent
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_APPCOMMAND:
        if (ApplyCommand(window, lParam))
            return TRUE;
        break;
    case WM_COPYDATA: {
        // How a notification-area request reaches the taskbar under Wine; what this
        // returns, Shell_NotifyIconW returns.
        unsigned long long code = reinterpret_cast<COPYDATASTRUCT *>(lParam)->dwData;
        if (FirstRequest == 0)
            FirstRequest = GetTickCount64();
        long long since = static_cast<long long>(GetTickCount64() - FirstRequest);
        bool accepted = since >= LateMilliseconds && (code != NIM_MODIFY || IconsHeld > 0);
        IconsHeld += accepted && code == NIM_ADD ? 1 : accepted && code == NIM_DELETE ? -1 : 0;
        WriteLog("%s %llu t=%lld", accepted ? "tray" : "refused", code, since);
        return accepted;
    }
    case WM_PAINT: Paint(window); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: LogInput(message, wParam); break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    QueryNtVersion();
    if (const wchar_t *taskbar = ChooseTaskbarClass(NtVersion.Major, NtVersion.Minor, NtVersion.Build))
        wcscpy_s(ClassName, ClassNameLength, taskbar);
    RECT bar = {0, 0, 640, 48};
    wchar_t *children = nullptr;

    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; arguments != nullptr && i + 1 < count; i += 2)
    {
        if (wcscmp(arguments[i], L"--class") == 0)
            wcscpy_s(ClassName, ClassNameLength, arguments[i + 1]);
        else if (wcscmp(arguments[i], L"--log") == 0)
            LogFile = CreateFileW(arguments[i + 1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        else if (wcscmp(arguments[i], L"--rect") == 0)
        {
            long x = 0, y = 0, width = 0, height = 0;
            if (swscanf(arguments[i + 1], L"%ld,%ld,%ld,%ld", &x, &y, &width, &height) == 4)
                bar = {x, y, x + width, y + height};
        }
        else if (wcscmp(arguments[i], L"--late") == 0)
            LateMilliseconds = _wtoi(arguments[i + 1]);
        else if (wcscmp(arguments[i], L"--children") == 0)
            children = arguments[i + 1];
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = StandInProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.lpszClassName = ClassName;
    RegisterClassExW(&windowClass);
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, ClassName, StandInTitle,
                                  WS_POPUP | WS_VISIBLE, bar.left, bar.top, bar.right - bar.left,
                                  bar.bottom - bar.top, NULL, NULL, instance, NULL);
    if (window == NULL)
        return 1;
    windowClass.lpfnWndProc = ChildProc;
    HWND parent = window;
    wchar_t *rest = nullptr;
    for (wchar_t *name = children ? wcstok_s(children, L"/", &rest) : nullptr; name;
         name = wcstok_s(nullptr, L"/", &rest))
    {
        windowClass.lpszClassName = name;
        RegisterClassExW(&windowClass);
        parent = CreateWindowExW(0, name, L"", WS_CHILD | WS_VISIBLE, 0, 0, bar.right - bar.left,
                                 bar.bottom - bar.top, parent, NULL, instance, NULL);
    }
    UpdateWindow(window);
    WriteLog("ready class=%ls", ClassName);

    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
