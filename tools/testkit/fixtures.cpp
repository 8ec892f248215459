// What the shell and other programs do around Quindle: broadcasts, messages to its window,
// a window of their own, a URL handler.
#include "testkit.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

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

int TaskbarCreated(int, wchar_t **)
{
    // Sent, not posted: it returns once every top-level window has handled it.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_NORMAL,
                        Deadline, &result);
    return 0;
}

int Close(int, wchar_t **)
{
    return PostMessageW(FindQuindle(), WM_CLOSE, 0, 0) ? 0 : 1;
}

// Sent, not posted: it returns once Quindle has handled the message, so the next action
// finds it done. (Windows sends the power broadcasts too.)
int Send(int, wchar_t **arguments)
{
    auto message = static_cast<UINT>(wcstoul(arguments[0], nullptr, 0));
    auto wParam = static_cast<WPARAM>(wcstoull(arguments[1], nullptr, 0));
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(FindQuindle(), message, wParam, 0, SMTO_NORMAL, Deadline, &result) ? 0 : 1;
}

// Another program's message box that happens to carry the same title, holding
// someone's unsaved work. It keeps itself at the top, so that a search by title
// meets it before any other.
int Window(int, wchar_t **arguments)
{
    CreateThread(
        NULL, 0,
        [](void *parameter) -> DWORD {
            auto given = static_cast<wchar_t *const *>(parameter);
            HWND box = NULL;
            if (!PumpUntil(
                    [&] { return (box = FindWindowOf(GetCurrentProcessId(), L"#32770", given[0])) != NULL; }))
                return 1;
            AppendLine(given[1], "ready");
            while (IsWindow(box))
            {
                SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
                Sleep(50);
            }
            return 0;
        },
        arguments, 0, NULL);
    MessageBoxW(NULL, L"Unsaved work", arguments[0], MB_OKCANCEL | MB_TOPMOST);
    AppendLine(arguments[1], "close");
    return 0;
}

int Record(int count, wchar_t **arguments)
{
    char line[2048] = "";
    for (int i = 1; i < count; ++i)
    {
        char part[1024];
        WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, part, sizeof part, NULL, NULL);
        if (i > 1)
            strncat(line, " ", sizeof line - strlen(line) - 1);
        strncat(line, part, sizeof line - strlen(line) - 1);
    }
    AppendLine(arguments[0], line);
    return 0;
}
