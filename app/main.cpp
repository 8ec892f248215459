// Entry point of Quindle: the wheel over the taskbar turns the volume.
#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int showCommand)
{
    StartProcess();
    int exitCode = RunProgram(instance, showCommand, arguments);
    EndProcess();
    return exitCode;
}
