// Entry point of Quindle: the wheel over the taskbar turns the volume.
#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    StartProcess();
    int exitCode = RunProgram(instance, showCommand);
    EndProcess();
    return exitCode;
}
