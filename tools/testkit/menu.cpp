// Quindle's tray menu, opened as the shell does and driven as a user would with the keyboard,
// and the notice of its Re-hook item. Menus cannot be read from another process (under Wine,
// GetMenuItemInfoW fails on the handle MN_GETHMENU gives), so the menu is read off the screen.
#include "testkit.h"

#include <stdio.h>
#include <utility>
#include <vector>
#include <wchar.h>

namespace
{
// Popup menus are top-level windows of this class; hidden ones may linger.
HWND VisibleMenu()
{
    HWND menu = NULL;
    while ((menu = FindWindowExW(NULL, menu, L"#32768", NULL)) != NULL && !IsWindowVisible(menu))
        ;
    return menu;
}

// The menu as the user sees it.
struct MenuPicture
{
    int Width = 0, Height = 0;
    std::vector<BYTE> Pixels; // 32-bit BGRX, top row first
};

MenuPicture TakeMenuPicture(HWND menu)
{
    MenuPicture picture;
    RECT bounds{};
    GetWindowRect(menu, &bounds);
    picture.Width = bounds.right - bounds.left;
    picture.Height = bounds.bottom - bounds.top;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.Width;
    info.bmiHeader.biHeight = -picture.Height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    if (bitmap == NULL ||
        !BitBlt(memory, 0, 0, picture.Width, picture.Height, screen, bounds.left, bounds.top, SRCCOPY))
        picture.Width = picture.Height = 0; // nothing to read
    picture.Pixels.assign(static_cast<BYTE *>(bits),
                          static_cast<BYTE *>(bits) + picture.Width * picture.Height * 4);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return picture;
}

const BYTE *PixelAt(const MenuPicture &picture, int x, int y)
{
    return picture.Pixels.data() + (y * picture.Width + x) * 4;
}

// Text and marks, not the light edges (nor the highlight bar: see TextLines).
bool IsInk(const MenuPicture &picture, int x, int y)
{
    const BYTE *pixel = PixelAt(picture, x, y);
    return pixel[0] + pixel[1] + pixel[2] < 3 * 140;
}

bool InkedRow(const MenuPicture &picture, int y, int from, int to)
{
    for (int x = from; x < to; ++x)
        if (IsInk(picture, x, y))
            return true;
    return false;
}

// Whether the row is part of the highlight bar: the bar fills the item's whole width, far
// right included, where no text ever reaches.
bool IsBarRow(const MenuPicture &picture, int y)
{
    const BYTE *pixel = PixelAt(picture, picture.Width - 6, y);
    return RGB(pixel[2], pixel[1], pixel[0]) == GetSysColor(COLOR_HIGHLIGHT);
}

// The items with text, as their first and last rows: rows with ink well inside the text
// column, a few blank rows allowed inside thin characters. The highlight bar's rows are a
// line of their own, whatever their text: an arrow key that came late may have moved the
// bar before the menu is read. All six once the menu shows them, which may take a moment
// after it appears.
std::vector<std::pair<int, int>> TextLines(const MenuPicture &picture)
{
    auto inked = [&](int y) { return IsBarRow(picture, y) || InkedRow(picture, y, 40, picture.Width - 4); };
    std::vector<std::pair<int, int>> lines;
    for (int y = 0; y < picture.Height;)
    {
        if (!inked(y))
        {
            ++y;
            continue;
        }
        int first = y, last = y;
        for (int blank = 0;
             y < picture.Height && blank <= 3 && IsBarRow(picture, y) == IsBarRow(picture, first); ++y)
            if (inked(y))
                last = y, blank = 0;
            else
                ++blank;
        lines.emplace_back(first, last);
    }
    return lines;
}

// The item drawn highlighted; -1: none.
int HighlightedItem(const MenuPicture &picture, const std::vector<std::pair<int, int>> &lines)
{
    for (size_t item = 0; item < lines.size() && !picture.Pixels.empty(); ++item)
        if (IsBarRow(picture, (lines[item].first + lines[item].second) / 2))
            return static_cast<int>(item);
    return -1;
}

// The menu's items with text, top to bottom, as the resource file lists them: the name the
// actions give each, and what its margin may show.
enum Margin
{
    CheckMark,
    Nothing,
    Icon
};
const struct
{
    const wchar_t *Name;
    Margin Margin;
} Items[] = {{L"autostart", CheckMark}, {L"admin", CheckMark}, {L"pause", Nothing},
             {L"rehook", Nothing},      {L"about", Icon},      {L"exit", Icon}};
constexpr size_t ItemCount = sizeof Items / sizeof Items[0];

// What a menu that failed to open leaves to look at: its window, and where Quindle's thread was.
void ReportMenu(HWND menu, HWND quindle, size_t lines)
{
    RECT bounds{};
    GetWindowRect(menu, &bounds);
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    GetGUIThreadInfo(GetWindowThreadProcessId(quindle, NULL), &thread);
    wchar_t active[64] = L"";
    GetClassNameW(thread.hwndActive, active, 64);
    printf("menu window %p %s at %ld,%ld %ldx%ld showing %zu lines; Quindle %s, its active window %p %ls\n",
           static_cast<void *>(menu), IsWindowVisible(menu) ? "visible" : "hidden", bounds.left, bounds.top,
           bounds.right - bounds.left, bounds.bottom - bounds.top, lines,
           thread.flags & GUI_INMENUMODE ? "in a menu" : "in no menu", static_cast<void *>(thread.hwndActive),
           active);
}

// Opens Quindle's tray menu as the shell does on a right press, and waits until all its
// items show. Returns the menu window, or null.
// Under Wine, a notice closed moments before may hand Quindle its change of focus only
// later, as the next menu is drawn, and that cancels the menu; Windows makes the change at
// once. The menu is then asked for again, once Quindle has done with the cancelled one:
// sooner, the click that Quindle posts after a dismissal would cancel the new one too.
HWND OpenMenu(std::vector<std::pair<int, int>> *lines)
{
    HWND quindle = NULL;
    if (!PumpUntil([&] { return (quindle = FindQuindle()) != NULL; }, Deadline))
    {
        printf("no Quindle window\n");
        return NULL;
    }
    HWND menu = NULL;
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        AnsweredBy(quindle);
        PostMessageW(quindle, WM_USER, 0, WM_RBUTTONDOWN);
        if (!PumpUntil([&] { return (menu = VisibleMenu()) != NULL; }, 3000))
            continue;
        auto shownOrGone = [&] {
            return (*lines = TextLines(TakeMenuPicture(menu))).size() == ItemCount || !IsWindowVisible(menu);
        };
        if (!PumpUntil(shownOrGone))
            break; // open, but not showing its six items
        if (IsWindowVisible(menu))
            return menu;
    }
    printf(menu == NULL            ? "the menu did not open\n"
           : IsWindowVisible(menu) ? "the menu did not show its six items\n"
                                   : "the menu was cancelled three times\n");
    ReportMenu(menu, quindle, lines->size());
    return NULL;
}

// Presses the key, again if it was lost, until the menu has closed.
bool CloseMenuWith(WORD key)
{
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        PressKey(key);
        if (PumpUntil([] { return VisibleMenu() == NULL; }, attempt < 2 ? 3000 : Deadline))
            return true;
    }
    return false;
}

// Moves the highlight to the item wanted with the arrow keys: all of them at once, then,
// while the highlight stands still for a second short of the item, one more at a time.
// Returns the item highlighted in the end, -1 for none.
int Highlight(HWND menu, const std::vector<std::pair<int, int>> &lines, int wanted)
{
    auto highlighted = [&] { return HighlightedItem(TakeMenuPicture(menu), lines); };
    auto towards = [&](int now) -> WORD { return now == -1 || now < wanted ? VK_DOWN : VK_UP; };
    int now = highlighted();
    for (int press = now; press != wanted; press += towards(now) == VK_DOWN ? 1 : -1)
        PressKey(towards(now)); // from none, Down goes to the first
    for (int presses = 0; presses < 20 && IsWindowVisible(menu); ++presses)
    {
        for (ULONGLONG still = GetTickCount64() + 1000; now != wanted && GetTickCount64() < still;)
        {
            Sleep(10);
            if (int seen = highlighted(); seen != now)
                now = seen, still = GetTickCount64() + 1000;
        }
        if (now == wanted)
            break;
        PressKey(towards(now));
    }
    return now;
}

// Chooses the item from the menu with the keyboard, as a user would, and returns once
// Quindle has taken the command. The item is seen highlighted before Return, so a lost
// arrow key is pressed again rather than another item chosen; otherwise the action fails
// saying which item was highlighted instead.
int Choose(const wchar_t *item)
{
    int wanted = 0;
    while (wanted < int(ItemCount) && wcscmp(Items[wanted].Name, item) != 0)
        ++wanted;
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        std::vector<std::pair<int, int>> lines;
        HWND menu = OpenMenu(&lines);
        if (menu == NULL)
            return 1;
        if (wanted == int(ItemCount)) // dismiss, or a name that is no item
        {
            bool closed = CloseMenuWith(VK_ESCAPE);
            if (!closed)
                printf("the menu did not close\n");
            else if (wcscmp(item, L"dismiss") != 0)
                printf("no item %ls\n", item);
            return wcscmp(item, L"dismiss") == 0 && closed ? 0 : 1;
        }
        int now = Highlight(menu, lines, wanted);
        if (!IsWindowVisible(menu))
            continue; // cancelled under us, as when a closing notice takes the focus back
        if (now != wanted)
        {
            printf("wanted %ls, found %ls highlighted\n", item, now == -1 ? L"nothing" : Items[now].Name);
            CloseMenuWith(VK_ESCAPE);
            return 1;
        }
        PressKey(VK_RETURN);
        if (!PumpUntil([] { return VisibleMenu() == NULL; }))
        {
            printf("the menu did not close after choosing %ls\n", item);
            return 1;
        }
        AnsweredBy(FindQuindle()); // the command has been carried out, or has opened a box of its own
        return 0;
    }
    printf("the menu closed by itself, three times, before %ls could be chosen\n", item);
    return 1;
}

// Chooses Re-hook, then waits until its notice has gone: closed at once as a user would with
// its close button (the notice's own closer racing that), or left to close itself. Returns
// how long it showed, in milliseconds, or -1 after saying what went wrong.
long long RehookOnce(const wchar_t *title, bool close)
{
    DWORD quindle = 0;
    GetWindowThreadProcessId(FindQuindle(), &quindle);
    auto notice = [&] { return FindWindowOf(quindle, L"#32770", title); };
    // Choose returns once Quindle pumps messages again: inside the notice's loop.
    if (Choose(L"rehook") != 0)
        return -1;
    ULONGLONG shown = GetTickCount64();
    HWND box = notice();
    if (box == NULL && !close)
    {
        printf("no notice\n");
        return -1;
    }
    if (close && box != NULL)
        PostMessageW(box, WM_CLOSE, 0, 0);
    if (!PumpUntil([&] { return notice() == NULL; }))
    {
        printf("the notice stayed\n");
        return -1;
    }
    return static_cast<long long>(GetTickCount64() - shown);
}
} // namespace

// Check marks and icons as the user sees them: an item is checked, or shows its icon,
// when the margin to the left of its line has ink.
int Look(int, wchar_t **)
{
    std::vector<std::pair<int, int>> lines;
    HWND menu = OpenMenu(&lines);
    if (menu == NULL)
        return 1;
    MenuPicture picture = TakeMenuPicture(menu);
    // Items that never carry a mark or an icon: where their text starts, the text column does.
    int text = picture.Width;
    for (size_t item = 0; item < ItemCount; ++item)
        for (int y = lines[item].first; Items[item].Margin == Nothing && y <= lines[item].second; ++y)
            for (int x = 2; x < text; ++x)
                if (IsInk(picture, x, y))
                    text = x;
    auto marked = [&](size_t item) {
        for (int y = lines[item].first; y <= lines[item].second; ++y)
            if (InkedRow(picture, y, 2, text - 2))
                return true;
        return false;
    };
    for (Margin margin : {CheckMark, Icon})
    {
        printf(margin == CheckMark ? "checks" : "\nicons");
        for (size_t item = 0; item < ItemCount; ++item)
            if (Items[item].Margin == margin && marked(item))
                printf(" %ls", Items[item].Name);
    }
    printf("\n");
    fflush(stdout);
    return CloseMenuWith(VK_ESCAPE) ? 0 : 1;
}

int Menu(int count, wchar_t **arguments)
{
    if (count == 0) // opened and left open, to be looked at
    {
        std::vector<std::pair<int, int>> lines;
        RECT bounds{};
        if (!GetWindowRect(OpenMenu(&lines), &bounds))
            return 1;
        printf("menu %ld %ld %ld %ld\n", bounds.left, bounds.top, bounds.right - bounds.left,
               bounds.bottom - bounds.top);
        return 0;
    }
    for (int i = 0, times = count >= 2 ? _wtoi(arguments[1]) : 1; i < times; ++i)
        if (Choose(arguments[0]) != 0)
            return 1;
    return 0;
}

// Chosen here, not by an action before: a notice that closes itself after a second could
// be gone before the next action's process had started on a busy machine.
int Notice(int, wchar_t **arguments)
{
    long long shown = RehookOnce(arguments[0], false);
    if (shown >= 0)
        printf("shown %lld\n", shown);
    return shown >= 0 ? 0 : 1;
}

int Rehooks(int, wchar_t **arguments)
{
    for (int i = 0, times = _wtoi(arguments[0]); i < times; ++i)
        if (RehookOnce(L"REHOOK", true) < 0)
            return 1;
    return 0;
}
