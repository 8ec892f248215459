// The icons beside About and Exit: cache, conversion and pixels.
#include "app/state.h"
#include "menuicons/menu_icons.h"
#include "menuicons/state.h"
#include "resource.h"

#include "support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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

// The 16-pixel image of an icon file as top-down BGRA, read here without the code under test.
std::vector<BYTE> SixteenPixelImage(const char *name)
{
    std::string path = std::string(QUINDLE_SOURCE_DIR) + "/res/icons/" + name;
    if (path[0] == '/')
        path = "Z:" + path; // Wine: the Linux root
    std::ifstream file(path, std::ios::binary);
    std::vector<BYTE> ico((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<BYTE> pixels;
    if (ico.size() < 6)
        return pixels;
    for (int i = 0, count = ico[4] | ico[5] << 8; i < count; ++i)
    {
        const BYTE *entry = &ico[6 + 16 * i];
        DWORD offset = entry[12] | entry[13] << 8 | entry[14] << 16 | DWORD(entry[15]) << 24;
        if (entry[0] != 16)
            continue;
        auto header = reinterpret_cast<const BITMAPINFOHEADER *>(&ico[offset]);
        EXPECT_EQ(header->biBitCount, 32);
        const BYTE *bottomUp = &ico[offset + header->biSize];
        for (int row = 15; row >= 0; --row)
            pixels.insert(pixels.end(), bottomUp + row * 64, bottomUp + row * 64 + 64);
    }
    return pixels;
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
        UINT item;
        const char *file;
    } cases[] = {{IDM_ABOUT, "tray.ico"}, {IDM_EXIT, "exit.ico"}};
    for (const auto &c : cases)
    {
        std::vector<BYTE> source = SixteenPixelImage(c.file);
        ASSERT_EQ(source.size(), 16u * 16 * 4) << c.file;
        DIBSECTION section{};
        ASSERT_TRUE(GetObjectW(ItemBitmap(c.item), sizeof section, &section)) << c.file;
        auto converted = static_cast<const BYTE *>(section.dsBm.bmBits);
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
    IWICImagingFactory *factory = ImagingFactory;
    HBITMAP about = ItemBitmap(IDM_ABOUT), exit = ItemBitmap(IDM_EXIT);
    SetItemBitmap(IDM_ABOUT, NULL);
    SetItemBitmap(IDM_EXIT, NULL);
    ImagingFactory = nullptr;
    EXPECT_EQ(SetMenuItemIcon(IDM_ABOUT, GetMenuIcon(IDI_TRAYICON)), S_OK);
    EXPECT_EQ(SetMenuItemIcon(IDM_EXIT, GetMenuIcon(IDI_EXITICON)), S_OK);
    EXPECT_EQ(ItemBitmap(IDM_ABOUT), nullptr);
    EXPECT_EQ(ItemBitmap(IDM_EXIT), nullptr);
    ImagingFactory = factory;
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
        int before = CountGdiObjects();
        EXPECT_TRUE(FAILED(SetMenuItemIcon(c.item, c.icon))) << c.name;
        EXPECT_EQ(CountGdiObjects(), before) << c.name;
        EXPECT_EQ(ItemBitmap(IDM_ABOUT), about) << c.name;
    }
    EXPECT_GT(CountGdiObjects(), 0);
}
} // namespace
