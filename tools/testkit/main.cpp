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
     "start Quindle's EXE (in DIR), print \"ready PID\" once its start-up is over, then \"exit CODE\" "
     "when it ends; exits with CODE",
     Launch},
    {L"middle-press", 1, "EXTRA", "inject a middle press and release carrying dwExtraInfo EXTRA",
     MiddlePress},
    {L"keys", 1, "KEY...", "type keys: down, up, return, escape or a letter", Keys},
    {L"eat", 1, "wheel|all",
     "stand for Quindle's hook dropped: a low-level hook installed after it that eats the wheel, or every "
     "mouse event (then moving the pointer itself and posting clicks to the window under it); prints "
     "\"ready\" once installed and runs until ended",
     Eat},
    {L"menu", 0, "[ITEM [N]]",
     "open Quindle's tray menu as the shell does; without ITEM print \"menu X Y WIDTH HEIGHT\" and leave "
     "it open; with ITEM (autostart, admin, pause, rehook, about, exit or dismiss) choose it with the "
     "arrow keys, each seen highlighted before the next, and wait until Quindle has taken the command; "
     "N times over",
     Menu},
    {L"look", 0, "",
     "open the menu, read off the screen which items carry a check mark and which an icon, print "
     "\"checks NAME...\" and \"icons NAME...\", and close it",
     Look},
    {L"rehooks", 1, "N", "choose Re-hook N times, each time closing its notice as a user would", Rehooks},
    {L"notice", 1, "TITLE",
     "wait until Quindle's message box titled TITLE shows and closes again; print \"shown MS\"", Notice},
    {L"taskbar-created", 0, "", "broadcast the shell's \"TaskbarCreated\" message", TaskbarCreated},
    {L"close", 0, "", "close Quindle's hidden window from outside, as another program may", Close},
    {L"send", 2, "MESSAGE WPARAM", "send a message to Quindle's window: done once it is handled", Send},
    {L"window", 2, "TITLE LOG",
     "show another program's topmost message box titled TITLE; log \"ready\" once it shows and \"close\" "
     "if it is closed",
     Window},
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
