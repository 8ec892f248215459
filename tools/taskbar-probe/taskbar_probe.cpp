// Shows what Windows returns over its taskbars, which only real Windows can tell: the
// build and the taskbar class Quindle picks for it, then for a row of points across each
// taskbar the window under the point, its ancestors up to the desktop, and the window that
// Quindle's own match finds there. Markdown on standard output, for a CI run's summary.
//
//   taskbar-probe      exit 0 whatever it finds; 1 when it cannot write its output
//
// Like Quindle.exe it declares no DPI awareness, so it sees the coordinates the hook sees.
#include "hook/state.h"
#include "hook/version.h"
#include "hook/wheel_hook.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

namespace
{
constexpr int PointsPerBar = 10;
constexpr int MaxDepth = 64; // a guard against a parent chain that never reaches the desktop
HANDLE Output;
bool OutputFailed;

// ASCII only, other characters as \uXXXX, so that no shell's pipe or file can garble it.
void Print(const wchar_t *format, ...)
{
    wchar_t text[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = vswprintf(text, 1024, format, arguments);
    va_end(arguments);
    char bytes[1024 * 6 + 1];
    int used = 0;
    for (int i = 0; i < length; ++i)
    {
        if (text[i] < 0x80)
            bytes[used++] = static_cast<char>(text[i]);
        else
            used += snprintf(bytes + used, 7, "\\u%04X", static_cast<unsigned>(text[i]));
    }
    DWORD written = 0;
    if (length < 0 || !WriteFile(Output, bytes, static_cast<DWORD>(used), &written, NULL) ||
        written != static_cast<DWORD>(used))
        OutputFailed = true;
}

// The class as the hook reads it; "?" where the hook would read none.
const wchar_t *ClassOf(HWND window, wchar_t *name)
{
    ReadClassName(window, name);
    return name[0] != L'\0' ? name : L"?";
}

void ProbePoint(POINT point)
{
    HWND window = WindowFromPoint(point);
    Print(L"| %ld,%ld | ", point.x, point.y);
    wchar_t name[ClassNameLength];
    HWND desktop = GetDesktopWindow();
    int depth = 0;
    for (HWND level = window; level != NULL && level != desktop && depth < MaxDepth;
         level = GetAncestor(level, GA_PARENT), ++depth)
        Print(L"%ls`%ls`", level == window ? L"" : L" < ", ClassOf(level, name));
    if (window == NULL || window == desktop)
        Print(window == NULL ? L"none" : L"the desktop");
    HWND root = GetAncestor(window, GA_ROOT);
    HWND owner = root != NULL ? GetWindow(root, GW_OWNER) : NULL;
    Print(root != NULL ? L" | `%ls`" : L" | none", ClassOf(root, name));
    Print(owner != NULL ? L" | `%ls`" : L" | none", ClassOf(owner, name));

    // Exactly what the hook does with the window under the pointer.
    wchar_t className[ClassNameLength];
    ReadClassName(window, className);
    HWND taskbar = FindTaskbar(window, className);
    Print(taskbar != NULL ? L" | `%ls` |\n" : L" | none |\n", ClassOf(taskbar, name));
}

// Points along the middle of the bar's longer side, from one end to the other, so that a
// bar docked at any edge is crossed, start button and notification area included.
void ProbeBar(HWND bar)
{
    RECT area{};
    GetWindowRect(bar, &area);
    wchar_t name[ClassNameLength];
    Print(L"\n### `%ls` at (%ld,%ld)-(%ld,%ld)%ls\n\n", ClassOf(bar, name), area.left, area.top, area.right,
          area.bottom, IsWindowVisible(bar) ? L"" : L", not visible");
    if (IsRectEmpty(&area))
    {
        Print(L"An empty window: no point to probe.\n");
        return;
    }
    Print(L"| point | window under it < its ancestors | root | owner | Quindle finds |\n");
    Print(L"|---|---|---|---|---|\n");
    bool across = area.right - area.left >= area.bottom - area.top;
    for (int i = 0; i < PointsPerBar; ++i)
    {
        LONG along = across ? area.left + 2 + (area.right - area.left - 5) * i / (PointsPerBar - 1)
                            : area.top + 2 + (area.bottom - area.top - 5) * i / (PointsPerBar - 1);
        LONG middle = across ? (area.top + area.bottom) / 2 : (area.left + area.right) / 2;
        ProbePoint(across ? POINT{along, middle} : POINT{middle, along});
    }
}

int ProbeBars(const wchar_t *barClass)
{
    int count = 0;
    for (HWND bar = FindWindowExW(NULL, NULL, barClass, NULL); bar != NULL;
         bar = FindWindowExW(NULL, bar, barClass, NULL), ++count)
        ProbeBar(bar);
    return count;
}
} // namespace

int wmain()
{
    Output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (Output == NULL || Output == INVALID_HANDLE_VALUE)
        return 1;
    // The build and the class exactly as the program finds them.
    QueryNtVersion();
    SelectTargetClass();
    Print(L"## Taskbar probe: Windows %lu.%lu build %lu, taskbar class %ls\n", NtVersion.Major,
          NtVersion.Minor, NtVersion.Build, TargetClassName[0] != L'\0' ? TargetClassName : L"none");
    Print(
        L"\nWindows from `WindowFromPoint`, up to the desktop by `GetAncestor` (`GA_PARENT`); root: "
        L"`GA_ROOT`; owner: the root's; Quindle finds: what `FindTaskbar` returns, as the hook calls it.\n");
    if (ProbeBars(L"Shell_TrayWnd") == 0)
        Print(L"\nNo taskbar on this runner: no window of class Shell_TrayWnd.\n");
    ProbeBars(L"Shell_SecondaryTrayWnd");
    return OutputFailed ? 1 : 0;
}
