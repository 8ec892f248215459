// Measurements for `./dev bench`, each printing one number in microseconds:
//
//   benchkit hookcost CLASS moves|wheel COUNT   inject COUNT mouse moves or wheel notches over a
//                                               window of class CLASS under the pointer; the time
//                                               until the last has been delivered to it
//   benchkit startup-hook EXE                   launch EXE over a taskbar window of this build's
//                                               class; the time until a wheel notch turns into a
//                                               volume command
//   benchkit startup-window EXE                 launch EXE, a program that reports its first message
//                                               with WM_APP + 1 to the window given on its command
//                                               line; the time until it does
#include "hook/state.h"
#include "hook/version.h"
#include "helpers.h"

#include <stdio.h>
#include <vector>
#include <wchar.h>

namespace
{
int Commands, RightReleases, Reports;

LRESULT CALLBACK TargetProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_APPCOMMAND: ++Commands; return TRUE;
    case WM_RBUTTONUP: ++RightReleases; return 0;
    case WM_APP + 1: ++Reports; return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

void Pump()
{
    MSG message;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
}

INPUT Move(LONG dx)
{
    INPUT input = MouseInput(MOUSEEVENTF_MOVE);
    input.mi.dx = dx;
    return input;
}

double Microseconds(LARGE_INTEGER from)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart - from.QuadPart) * 1e6 / double(frequency.QuadPart);
}

int HookCost(const wchar_t *className, bool wheel, int count)
{
    ShowWindowUnderPointer(className, TargetProc);
    std::vector<INPUT> inputs;
    for (int i = 0; i < count; ++i)
        inputs.push_back(wheel ? MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA) : Move(i % 2 ? 1 : -1));
    // A right click closes the series: once it is in, every event before it has passed.
    inputs.push_back(MouseInput(MOUSEEVENTF_RIGHTDOWN));
    inputs.push_back(MouseInput(MOUSEEVENTF_RIGHTUP));
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (size_t sent = 0; sent < inputs.size(); sent += 100)
    {
        UINT batch = static_cast<UINT>(inputs.size() - sent < 100 ? inputs.size() - sent : 100);
        SendInput(batch, &inputs[sent], sizeof(INPUT));
        Pump();
    }
    if (!PumpUntil([] { return RightReleases > 0; }, 60000))
        return 1;
    printf("%.0f %d\n", Microseconds(start), Commands);
    return 0;
}

int Startup(wchar_t *program, bool hook)
{
    QueryNtVersion();
    const wchar_t *taskbar = ChooseTaskbarClass(NtVersion.Major, NtVersion.Minor, NtVersion.Build);
    HWND window = ShowWindowUnderPointer(taskbar ? taskbar : L"MSTaskListWClass", TargetProc);
    wchar_t commandLine[MAX_PATH + 64];
    swprintf(commandLine, MAX_PATH + 64, L"\"%ls\" window %llu", program,
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(program, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 1;
    INPUT notch = MouseInput(MOUSEEVENTF_WHEEL, WHEEL_DELTA);
    bool done = PumpUntil(
        [&] {
            if (hook) // a notch at a time, until one turns into a command
                SendInput(1, &notch, sizeof notch);
            return hook ? Commands > 0 : Reports > 0;
        },
        30000);
    double elapsed = Microseconds(start);
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 5000);
    if (!done)
        return 1;
    printf("%.0f\n", elapsed);
    return 0;
}
} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 5 && wcscmp(argv[1], L"hookcost") == 0)
        return HookCost(argv[2], wcscmp(argv[3], L"wheel") == 0, _wtoi(argv[4]));
    if (argc == 3 && wcscmp(argv[1], L"startup-hook") == 0)
        return Startup(argv[2], true);
    if (argc == 3 && wcscmp(argv[1], L"startup-window") == 0)
        return Startup(argv[2], false);
    fprintf(stderr, "usage: see the top of benchkit.cpp\n");
    return 2;
}
