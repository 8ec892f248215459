// What the in-process tests share: the program started once for the whole test
// program, message pumping with a deadline, and a taskbar of this process's own.
#pragma once

#include <windows.h>

#include "helpers.h"

#include <string>
#include <vector>

// One image of an icon group resource, as its directory lists it.
#pragma pack(push, 2)
struct GroupIconEntry
{
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

std::wstring ClassOf(HWND window);
std::wstring TitleOf(HWND window);
std::wstring PauseLabel();
bool IconPresent();                                   // whether the shell holds the program's tray icon
bool TakeQuitMessage();                               // removes a waiting WM_QUIT; true if there was one
std::wstring ProgramFolder();                         // where this test program and its helper programs are
std::wstring SandboxFolder();                         // this run's own folder, and its current directory
std::wstring ScratchFolder(const std::wstring &name); // a folder of its own in the sandbox
std::wstring MessageText(HWND box);                   // what a message box says

// Answers this process's message boxes titled title, from a timer, by pressing the
// buttons given, in order (then Abort or OK); keeps what each box said.
void AnswerBoxes(const wchar_t *title, std::vector<int> answers);
void StopAnswering();
extern std::vector<std::wstring> BoxesShown;

// This thread runs as a user outside Administrators, as Windows starts a program
// unelevated (Wine's own user always is one), until RevertToSelf.
bool ImpersonateStandardUser();

// A window of the given class under the pointer (and its children, as
// ShowWindowUnderPointer makes them) that records the volume commands posted to it and
// the button and wheel messages that reach it.
HWND ShowFakeTaskbar(const wchar_t *className, const std::vector<const wchar_t *> &children = {});
extern std::vector<LPARAM> ReceivedCommands;
extern std::vector<UINT> ReceivedInputs; // for the last event given to CommandsFor
// Injects one event and returns the commands posted for it, once a marker sent after
// it has reached the fake taskbar (every hook has then seen the event).
std::vector<LPARAM> CommandsFor(INPUT input);
