// Small Windows-side actions for the tests and the demonstration, one per call:
//
//   testkit launch EXE [DIR]      start EXE (in DIR), print "ready PID" once it waits for
//                                 input, then "exit CODE" when it ends; exits with CODE
//   testkit middle-press EXTRA    inject a middle press and release carrying dwExtraInfo EXTRA
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace
{
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
    // Returns once the program's main thread sits in its message loop: start-up is over.
    WaitForInputIdle(process.hProcess, 30000);
    printf("ready %lu\n", process.dwProcessId);
    fflush(stdout);
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
} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 3 && wcscmp(argv[1], L"launch") == 0) return Launch(argv[2], argc >= 4 ? argv[3] : nullptr);
    if (argc >= 3 && wcscmp(argv[1], L"middle-press") == 0)
        return MiddlePress(static_cast<ULONG_PTR>(wcstoull(argv[2], nullptr, 0)));
    fprintf(stderr, "usage: testkit launch EXE [DIR] | middle-press EXTRA\n");
    return 2;
}
