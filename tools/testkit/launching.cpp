// Starting Quindle, and finding it and its windows.
#include "testkit.h"

#include <stdio.h>
#include <wchar.h>

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

HWND FindQuindle()
{
    return FindWindowW(L"Quindle", L"Quindle");
}

// A sent message is answered only when the window's thread takes messages: once it is, all
// that thread had to do before has been done, or has opened a modal loop of its own.
bool AnsweredBy(HWND window)
{
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, Deadline, &answer) != 0;
}

int Launch(int count, wchar_t **arguments)
{
    wchar_t *program = arguments[0];
    wchar_t commandLine[MAX_PATH + 2];
    swprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", program);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, commandLine, NULL, NULL, FALSE, 0, NULL, count >= 2 ? arguments[1] : nullptr,
                        &startup, &process))
    {
        printf("failed %lu\n", GetLastError());
        return 255;
    }
    // Under Wine, WaitForInputIdle returns as soon as start-up first finds the queue
    // empty, before any window exists, and at once when the program has ended. Start-up
    // is over once the program's window exists and its thread answers from the loop.
    WaitForInputIdle(process.hProcess, 30000);
    HWND window = NULL;
    PumpUntil(
        [&] {
            window = FindWindowOf(process.dwProcessId, L"Quindle", L"Quindle");
            return window != NULL || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
        },
        30000);
    if (window != NULL && AnsweredBy(window))
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
