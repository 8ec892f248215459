// Which window class is the taskbar on this Windows build.
#include "hook/version.h"

#include "hook/state.h"

#include <wchar.h>

NtVersionNumbers NtVersion;
wchar_t TargetClassName[ClassNameLength];

// Asks ntdll directly: unlike GetVersionEx, it is not shimmed by the manifest.
void QueryNtVersion()
{
    HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
    if (ntdll == NULL)
        return;
    using GetNtVersionNumbers = void(WINAPI *)(DWORD *, DWORD *, DWORD *);
    auto getNumbers = reinterpret_cast<GetNtVersionNumbers>(
        reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetNtVersionNumbers")));
    if (getNumbers != nullptr)
    {
        getNumbers(&NtVersion.Major, &NtVersion.Minor, &NtVersion.Build);
        NtVersion.Build &= 0xFFFF; // the high bits flag checked and free builds
    }
    FreeLibrary(ntdll);
}

// The window that acts on volume commands moved between Windows 10, the first
// Windows 11 and later Windows 11; builds in between have no known taskbar class.
const wchar_t *ChooseTaskbarClass(DWORD major, DWORD minor, DWORD build)
{
    if (major != 10 || minor != 0)
        return nullptr;
    if (build <= 21390)
        return L"MSTaskListWClass";
    if (build == 22000)
        return L"ReBarWindow32";
    if (build >= 22621)
        return L"Shell_TrayWnd";
    return nullptr;
}

void SelectTargetClass()
{
    const wchar_t *name = ChooseTaskbarClass(NtVersion.Major, NtVersion.Minor, NtVersion.Build);
    if (name != nullptr)
        wcscpy_s(TargetClassName, ClassNameLength, name);
}
