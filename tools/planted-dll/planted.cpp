// A DLL for the DLL-planting test: when any process loads it, it leaves a file
// "<its own path>.loaded" beside itself, proof that the loader picked it up.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        wchar_t path[MAX_PATH + 8];
        DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
        {
            lstrcpyW(path + length, L".loaded");
            CloseHandle(
                CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
        }
    }
    return TRUE;
}
