// What the in-process tests share: the program started once for the whole test
// program, message pumping with a deadline, a taskbar of this process's own, the heap
// blocks alive, and swaps of the program's state that undo themselves.
#pragma once

#include <windows.h>

#include "helpers.h"

#include <atomic>
#include <string>
#include <utility>
#include <vector>

// One image of an icon group resource, as its directory lists it, and its bytes.
#pragma pack(push, 2)
struct GroupIconEntry
{
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)
struct IconImage
{
    GroupIconEntry Entry;
    const BYTE *Bytes;
};
// The images of this program's icon group in that language; none when there is no such group.
std::vector<IconImage> IconGroupImages(UINT group, WORD language);
const WORD Chinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED); // the resources' language

// Puts value in variable for the rest of the scope; the old value comes back however the
// test leaves it, a failed ASSERT included.
template <typename T> struct Swapped
{
    T &Variable;
    T Saved;
    Swapped(T &variable, T value) : Variable(variable), Saved(std::exchange(variable, value)) {}
    ~Swapped() { Variable = Saved; }
    Swapped(const Swapped &) = delete;
    Swapped &operator=(const Swapped &) = delete;
};
template <typename T, typename U> Swapped(T &, U) -> Swapped<T>;

// The heap blocks alive, to see that a failed command frees what it allocated. Every
// allocation fails after the next AllocationsAllowed ones (-1: no limit), and
// BeforeNextAllocation runs once, at the next allocation.
extern std::atomic<long> LiveBlocks;
extern std::atomic<long> AllocationsAllowed;
extern void (*BeforeNextAllocation)();

extern const std::vector<LPARAM> None, OneUp; // the commands of a notch: none, or volume up
// Back to how start-up left the program: hook on, "暂停", icon shown, no WM_QUIT or hand-over, guard held.
void Reset();

std::wstring ClassOf(HWND window);
std::wstring TitleOf(HWND window);
std::wstring PauseLabel();
bool IconPresent();                                   // whether the shell holds the program's tray icon
bool TakeQuitMessage();                               // removes a waiting WM_QUIT; true if there was one
std::wstring ProgramFolder();                         // where this test program and its helper programs are
std::wstring SandboxFolder();                         // this run's own folder, and its current directory
std::wstring ScratchFolder(const std::wstring &name); // a folder of its own in the sandbox
std::wstring MessageText(HWND box);                   // what a message box says

// What this process's notice titled "REHOOK" said, and when it first showed, as seen from a
// timer inside its own loop; with close, it is closed as soon as it shows, as a user would.
struct NoticeSeen
{
    std::wstring Text;
    ULONGLONG ShownAt; // 0: not shown
};
extern NoticeSeen Notice;
UINT_PTR WatchNotice(bool close);

// Answers this process's message boxes titled title, from a timer, pressing the buttons given in order (then
// Abort or OK), and ends any menu; keeps what each box said. behind: what the user does behind each first.
void AnswerBoxes(const wchar_t *title, std::vector<int> answers, void (*behind)() = nullptr);
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
