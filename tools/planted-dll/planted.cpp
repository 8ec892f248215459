// A DLL for the DLL-planting test: when a process loads it, it puts its own path in
// the process's environment variable QUINDLE_PLANTED_LOADED, proof that the loader
// picked it up. It writes nothing anywhere else.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        wchar_t path[MAX_PATH];
        DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            SetEnvironmentVariableW(L"QUINDLE_PLANTED_LOADED", path);
    }
    return TRUE;
}
