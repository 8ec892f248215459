// What the programs that stand in for parts of Windows share with the in-process tests:
// waiting with a deadline, injected mouse input, a window of a given class under the
// pointer, and counting a process's GDI objects.
#pragma once

#include <windows.h>

#include <vector>

// Pumps this thread's messages until done() holds or the deadline passes.
template <typename Condition> bool PumpUntil(Condition done, DWORD milliseconds = 10000)
{
    ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (!done())
    {
        if (GetTickCount64() > deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

inline INPUT MouseInput(DWORD flags, DWORD data = 0, ULONG_PTR extraInfo = 0)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    input.mi.mouseData = data;
    input.mi.dwExtraInfo = extraInfo;
    return input;
}

// A window of the given class under the pointer, in front, whose messages go to procedure;
// children: windows of these classes, each filling the one before, the last under the
// pointer. Returns once the window under the pointer is the last.
inline HWND ShowWindowUnderPointer(const wchar_t *className, WNDPROC procedure,
                                   const std::vector<const wchar_t *> &children = {})
{
    HINSTANCE instance = GetModuleHandleW(NULL);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    for (const wchar_t *name : children)
    {
        windowClass.lpszClassName = name;
        RegisterClassW(&windowClass);
    }
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, className, L"", WS_POPUP | WS_VISIBLE,
                                  100, 100, 300, 40, NULL, NULL, instance, NULL);
    HWND deepest = window;
    for (const wchar_t *name : children)
        deepest = CreateWindowExW(0, name, L"", WS_CHILD | WS_VISIBLE, 0, 0, 300, 40, deepest, NULL, instance,
                                  NULL);
    SetForegroundWindow(window);
    const POINT pointer{250, 120};
    SetCursorPos(pointer.x, pointer.y);
    PumpUntil([&] { return WindowFromPoint(pointer) == deepest; });
    return window;
}

// Windows counts them for us; Wine does not (GetGuiResources answers 0), but keeps each
// process's GDI handle table where its PEB says: 24-byte entries, the type at byte 14.
inline int CountGdiObjects(HANDLE process)
{
    if (DWORD counted = GetGuiResources(process, GR_GDIOBJECTS))
        return static_cast<int>(counted);
    using QueryProcess = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    auto query = reinterpret_cast<QueryProcess>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PVOID basic[6] = {}; // PROCESS_BASIC_INFORMATION: the PEB's address is the second field
    const BYTE *table = nullptr;
    SIZE_T read = 0;
    std::vector<BYTE> entries(0x10000 * 24);
    if (query == nullptr || query(process, 0, basic, sizeof basic, nullptr) != 0 ||
        !ReadProcessMemory(process, static_cast<BYTE *>(basic[1]) + 0xF8, &table, sizeof table, &read) ||
        table == nullptr || !ReadProcessMemory(process, table, entries.data(), entries.size(), &read))
        return 0;
    int count = 0;
    for (size_t entry = 0; entry < 0x10000; ++entry)
        count += entries[entry * 24 + 14] != 0;
    return count;
}
