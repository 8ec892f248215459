// The icons beside About and Exit: cache, conversion and pixels.
#include "app/state.h"
#include "menuicons/menu_icons.h"
#include "menuicons/state.h"
#include "resource.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
HBITMAP ItemBitmap(UINT item)
{
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_BITMAP;
    GetMenuItemInfoW(TrayMenu, item, FALSE, &info);
    return info.hbmpItem;
}

void SetItemBitmap(UINT item, HBITMAP bitmap)
{
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_BITMAP;
    info.hbmpItem = bitmap;
    SetMenuItemInfoW(TrayMenu, item, FALSE, &info);
}

// The 16-pixel image of an icon group as top-down BGRA, read from this program's own
// resources (the same as the program's) without the code under test.
std::vector<BYTE> SixteenPixelImage(UINT group)
{
    std::vector<BYTE> pixels;
    for (const IconImage &image : IconGroupImages(group, Chinese))
    {
        if (image.Entry.width != 16)
            continue;
        auto header = reinterpret_cast<const BITMAPINFOHEADER *>(image.Bytes);
        EXPECT_EQ(header->biBitCount, 32);
        const BYTE *bottomUp = image.Bytes + header->biSize;
        for (int row = 15; row >= 0; --row)
            pixels.insert(pixels.end(), bottomUp + row * 64, bottomUp + row * 64 + 64);
    }
    return pixels;
}

// A bitmap's pixels as it shows them, top row first, whichever way it stores them.
std::vector<BYTE> ShownPixels(HBITMAP bitmap)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 16;
    info.bmiHeader.biHeight = -16;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<BYTE> pixels(16 * 16 * 4);
    HDC screen = GetDC(NULL);
    int rows = GetDIBits(screen, bitmap, 0, 16, pixels.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(NULL, screen);
    return rows == 16 ? pixels : std::vector<BYTE>();
}

TEST(MenuIcons, OnlyAboutAndExitCarrySixteenPixelBitmaps)
{
    for (int position = 0; position < GetMenuItemCount(TrayMenu); ++position)
    {
        UINT item = GetMenuItemID(TrayMenu, position);
        HBITMAP bitmap = item == 0xFFFFFFFF ? NULL : ItemBitmap(item);
        bool expected = item == IDM_ABOUT || item == IDM_EXIT;
        EXPECT_EQ(bitmap != NULL, expected) << position;
        DIBSECTION section{};
        if (bitmap != NULL)
        {
            ASSERT_EQ(GetObjectW(bitmap, sizeof section, &section), int(sizeof section)) << position;
            EXPECT_EQ(section.dsBm.bmWidth, 16);
            EXPECT_EQ(section.dsBm.bmHeight, 16);
            EXPECT_EQ(section.dsBm.bmBitsPixel, 32); // the row order shows in the pixels below
        }
    }
}

TEST(MenuIcons, PixelsArePremultipliedFromTheIconFiles)
{
    const struct
    {
        UINT item, group;
        const char *file;
    } cases[] = {{IDM_ABOUT, IDI_TRAYICON, "app.ico"}, {IDM_EXIT, IDI_EXITICON, "exit.ico"}};
    for (const auto &c : cases)
    {
        std::vector<BYTE> source = SixteenPixelImage(c.group);
        ASSERT_EQ(source.size(), 16u * 16 * 4) << c.file;
        std::vector<BYTE> shown = ShownPixels(ItemBitmap(c.item));
        ASSERT_EQ(shown.size(), source.size()) << c.file;
        const BYTE *converted = shown.data();
        int transparent = 0, mismatched = 0;
        for (int i = 0; i < 16 * 16 * 4; i += 4)
        {
            BYTE alpha = source[i + 3];
            EXPECT_EQ(converted[i + 3], alpha) << c.file << " pixel " << i / 4;
            for (int channel = 0; channel < 3; ++channel)
            {
                int expected = (source[i + channel] * alpha + 127) / 255;
                mismatched += std::abs(converted[i + channel] - expected) > 1;
                EXPECT_LE(converted[i + channel], converted[i + 3]) << c.file << " pixel " << i / 4;
            }
            if (alpha == 0)
            {
                ++transparent;
                EXPECT_EQ(converted[i] | converted[i + 1] | converted[i + 2], 0)
                    << c.file << " pixel " << i / 4;
            }
        }
        EXPECT_EQ(mismatched, 0) << c.file;
        EXPECT_GT(transparent, 0) << c.file;
    }
}

TEST(MenuIcons, WithoutAnImagingFactoryItemsStayTextOnly)
{
    HBITMAP about = ItemBitmap(IDM_ABOUT), exit = ItemBitmap(IDM_EXIT);
    SetItemBitmap(IDM_ABOUT, NULL);
    SetItemBitmap(IDM_EXIT, NULL);
    {
        Swapped none(ImagingFactory, nullptr);
        EXPECT_EQ(SetMenuItemIcon(IDM_ABOUT, GetMenuIcon(IDI_TRAYICON)), S_OK);
        EXPECT_EQ(SetMenuItemIcon(IDM_EXIT, GetMenuIcon(IDI_EXITICON)), S_OK);
        EXPECT_EQ(ItemBitmap(IDM_ABOUT), nullptr);
        EXPECT_EQ(ItemBitmap(IDM_EXIT), nullptr);
    }
    SetItemBitmap(IDM_ABOUT, about);
    SetItemBitmap(IDM_EXIT, exit);
}

TEST(MenuIcons, TheCacheLoadsOnceAndKeepsFailures)
{
    HICON first = GetMenuIcon(IDI_TRAYICON);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetMenuIcon(IDI_TRAYICON), first); // a second load would be a new handle
    const UINT missing = 4242;
    EXPECT_EQ(GetMenuIcon(missing), nullptr);
    ASSERT_EQ(MenuIconCache.count(missing), 1u);
    // A cached failure is answered from the cache, even for an id that would load now.
    MenuIconCache.erase(IDI_APPICON);
    MenuIconCache.emplace(IDI_APPICON, HICON(NULL));
    EXPECT_EQ(GetMenuIcon(IDI_APPICON), nullptr);
    MenuIconCache.erase(IDI_APPICON);
    MenuIconCache.erase(missing);
}

TEST(MenuIcons, AFailedConversionLeavesNoBitmapAndTheItemAsItWas)
{
    HBITMAP about = ItemBitmap(IDM_ABOUT);
    const struct
    {
        const char *name;
        UINT item;
        HICON icon;
    } cases[] = {
        {"no such item: fails after the bitmap is made", 4242, GetMenuIcon(IDI_EXITICON)},
        {"no icon: fails at the first step", IDM_ABOUT, NULL},
    };
    for (const auto &c : cases)
    {
        int before = CountGdiObjects(GetCurrentProcess());
        EXPECT_TRUE(FAILED(SetMenuItemIcon(c.item, c.icon))) << c.name;
        EXPECT_EQ(CountGdiObjects(GetCurrentProcess()), before) << c.name;
        EXPECT_EQ(ItemBitmap(IDM_ABOUT), about) << c.name;
    }
    EXPECT_GT(CountGdiObjects(GetCurrentProcess()), 0);
}
} // namespace
