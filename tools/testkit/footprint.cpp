// What a process holds, for the soak: threads, handles, GDI and USER objects, memory.
#include "testkit.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <vector>
#include <wchar.h>

namespace
{
DWORD CountedOwner, CountedWindows;

BOOL CALLBACK CountWindow(HWND window, LPARAM)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    CountedWindows += owner == CountedOwner;
    return TRUE;
}
} // namespace

// What a process holds. Wine answers 0 to GetProcessHandleCount and GetGuiResources;
// there the handles come from the system's handle list, GDI objects as CountGdiObjects
// finds them, and USER objects are counted as its windows, the only ones that can be listed.
int Footprint(int, wchar_t **arguments)
{
    auto process = static_cast<DWORD>(_wtoi(arguments[0]));
    HANDLE target = NULL;
    if (!PumpUntil([&] {
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
    auto querySystem = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
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
    int gdi = CountGdiObjects(target);
    DWORD user = GetGuiResources(target, GR_USEROBJECTS);
    if (user == 0)
    {
        CountedOwner = process;
        CountedWindows = 0;
        EnumChildWindows(GetDesktopWindow(), CountWindow, 0); // every top-level window and its children
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
    printf("threads %lu handles %lu gdi %d user %lu private %zu workingset %zu\n", threads, handles, gdi,
           user, privateBytes, memory.WorkingSetSize);
    CloseHandle(target);
    return 0;
}
