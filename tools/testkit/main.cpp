// Small Windows-side actions for the tests and the demonstration, one per call:
// `testkit ACTION ARGUMENTS...`. Run without one, it prints the list below.
#include "testkit.h"

#include <stdio.h>
#include <wchar.h>

namespace
{
const struct
{
    const wchar_t *Name;
    int Least; // arguments it needs at least
    const char *Arguments, *Does;
    int (*Run)(int count, wchar_t **arguments);
} Actions[] = {
    {L"launch", 1, "EXE [DIR]",
     "start EXE (in DIR); print \"ready PID\" once started, \"exit CODE\" at its end (its exit code)",
     Launch},
    {L"middle-press", 1, "EXTRA", "inject a middle click carrying dwExtraInfo EXTRA", MiddlePress},
    {L"keys", 1, "KEY...", "type keys: down, up, return, escape or a letter", Keys},
    {L"eat", 1, "wheel|all",
     "a later hook that eats the wheel, or all mouse input; \"ready\", then runs until ended", Eat},
    {L"menu", 0, "[ITEM [N]]",
     "open Quindle's tray menu as the shell does: print \"menu X Y WIDTH HEIGHT\" and leave it open, "
     "or choose ITEM (autostart, admin, pause, rehook, about, exit or dismiss) with the keys, N times",
     Menu},
    {L"look", 0, "", "open the menu; print \"checks NAME...\" and \"icons NAME...\" as it shows them", Look},
    {L"rehooks", 1, "N", "choose Re-hook N times, each time closing its notice as a user would", Rehooks},
    {L"notice", 1, "TITLE", "choose Re-hook and wait until its box TITLE has shown and closed: \"shown MS\"",
     Notice},
    {L"taskbar-created", 0, "", "broadcast the shell's \"TaskbarCreated\" message", TaskbarCreated},
    {L"close", 0, "", "close Quindle's hidden window from outside, as another program may", Close},
    {L"send", 2, "MESSAGE WPARAM", "send a message to Quindle's window: done once it is handled", Send},
    {L"window", 2, "TITLE LOG",
     "another program's message box TITLE; log \"ready\", and \"close\" once closed", Window},
    {L"record", 1, "LOG ARGS...", "append ARGS to LOG, one line (a stand-in URL handler)", Record},
    {L"footprint", 1, "PID", "print \"threads T handles H gdi G user U private P workingset W\" of a process",
     Footprint},
};
} // namespace

int wmain(int argc, wchar_t **argv)
{
    for (const auto &action : Actions)
        if (argc >= 2 && wcscmp(argv[1], action.Name) == 0 && argc - 2 >= action.Least)
            return action.Run(argc - 2, argv + 2);
    fprintf(stderr, "usage: testkit ACTION ARGUMENTS...\n");
    for (const auto &action : Actions)
        fprintf(stderr, "  %ls %s\n      %s\n", action.Name, action.Arguments, action.Does);
    return 2;
}
