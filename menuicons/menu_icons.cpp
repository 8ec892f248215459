// Icons beside menu items, converted by the Windows Imaging Component into 32-bit
// premultiplied bitmaps, which menus draw with their alpha.
#include "menuicons/menu_icons.h"

#include "app/com.h"
#include "app/state.h"
#include "menuicons/state.h"

IWICImagingFactory *ImagingFactory;
HRESULT OleInitResult = E_FAIL;
std::map<UINT, HICON> MenuIconCache;

namespace
{
// The imaging factory of Windows 8 and later, then that of Windows 7.
const CLSID ImagingFactory2 = {0x317d06e8, 0x5f24, 0x433d, {0xbd, 0xf7, 0x79, 0xce, 0x68, 0xd8, 0xab, 0xc2}};
const CLSID ImagingFactory1 = {0xcacaf262, 0x9370, 0x4615, {0xa1, 0x3b, 0x9f, 0x55, 0x39, 0xda, 0x4c, 0x0a}};
const IID ImagingFactoryInterface = {
    0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};
const GUID PremultipliedBgra = {0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x10}};
} // namespace

// OLE on the main thread, which the imaging component needs, then the imaging factory.
void StartOleAndImaging()
{
    OleInitResult = OleInitialize(NULL);
    CoCreateInstance(ImagingFactory2, NULL, CLSCTX_INPROC_SERVER, ImagingFactoryInterface,
                     reinterpret_cast<void **>(&ImagingFactory));
    if (ImagingFactory == nullptr)
        CoCreateInstance(ImagingFactory1, NULL, CLSCTX_INPROC_SERVER, ImagingFactoryInterface,
                         reinterpret_cast<void **>(&ImagingFactory));
}

void StopImagingAndOle()
{
    if (ImagingFactory != nullptr)
    {
        ImagingFactory->Release();
        ImagingFactory = nullptr;
    }
    if (SUCCEEDED(OleInitResult))
        OleUninitialize();
    OleInitResult = E_FAIL;
    MenuIconCache.clear();
}

HICON GetMenuIcon(UINT id)
{
    auto cached = MenuIconCache.find(id);
    if (cached != MenuIconCache.end())
        return cached->second;
    HICON icon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    try
    {
        MenuIconCache.emplace(id, icon); // a failed load too: it is not tried again
    }
    catch (...) // no memory for the node: the icon still serves this once
    {
    }
    return icon;
}

// Gives the item a 16 x 16, 32-bit, top-down, premultiplied BGRA bitmap of the icon.
// Any failure leaves the item as it was, and no bitmap behind.
HRESULT SetMenuItemIcon(UINT item, HICON icon)
{
    if (ImagingFactory == nullptr)
        return S_OK; // no imaging component: the item stays text only

    IWICBitmap *bitmapObject = nullptr;
    HRESULT result = ImagingFactory->CreateBitmapFromHICON(icon, &bitmapObject);
    ComHolder<IWICBitmap> bitmap(bitmapObject);
    ComHolder<IWICFormatConverter> converter;
    if (SUCCEEDED(result))
    {
        IWICFormatConverter *converterObject = nullptr;
        result = ImagingFactory->CreateFormatConverter(&converterObject);
        converter.reset(converterObject);
    }
    if (SUCCEEDED(result))
        result = converter->Initialize(bitmap.get(), PremultipliedBgra, WICBitmapDitherTypeNone, NULL, 0.0,
                                       WICBitmapPaletteTypeCustom);
    UINT width = 0, height = 0;
    if (SUCCEEDED(result))
        result = converter->GetSize(&width, &height);

    HBITMAP menuBitmap = NULL;
    void *bits = nullptr;
    if (SUCCEEDED(result))
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = static_cast<LONG>(width);
        info.bmiHeader.biHeight = -static_cast<LONG>(height); // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        if (HDC screen = GetDC(NULL))
        {
            menuBitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
            ReleaseDC(NULL, screen);
        }
        if (menuBitmap == NULL)
            result = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(result))
        result = converter->CopyPixels(NULL, width * 4, width * 4 * height, static_cast<BYTE *>(bits));
    converter.reset();
    bitmap.reset();

    if (SUCCEEDED(result))
    {
        MENUITEMINFOW itemInfo{};
        itemInfo.cbSize = sizeof itemInfo;
        itemInfo.fMask = MIIM_BITMAP;
        itemInfo.hbmpItem = menuBitmap;
        if (!SetMenuItemInfoW(TrayMenu, item, FALSE, &itemInfo))
            result = E_FAIL;
    }
    if (FAILED(result) && menuBitmap != NULL)
        DeleteObject(menuBitmap);
    return result;
}
