#include "ui/window_icon_win.h"

#include <cstring>
#include <vector>

#include "ui/mark.h"
#include "ui/native_window_win.h"

namespace vornet::app {

HICON makeIcon(int size, int tone, bool badge) {
    if (size < 1) return nullptr;
    std::vector<std::uint32_t> pixels = renderMark(size, tone, badge);

    BITMAPV5HEADER header{};
    header.bV5Size = sizeof(header);
    header.bV5Width = size;
    header.bV5Height = -size;
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;

    HDC screen = GetDC(nullptr);
    void* bits = nullptr;
    HBITMAP color =
        CreateDIBSection(screen, reinterpret_cast<const BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!color || !bits) {
        if (color) DeleteObject(color);
        return nullptr;
    }
    // 0xAARRGGBB in memory on a little-endian machine is blue, green, red, alpha: the layout
    // of the section.
    std::memcpy(bits, pixels.data(), pixels.size() * sizeof(std::uint32_t));
    GdiFlush();

    HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmMask = mask;
    info.hbmColor = color;
    HICON icon = mask ? CreateIconIndirect(&info) : nullptr;
    if (mask) DeleteObject(mask);
    DeleteObject(color);
    return icon;
}

void setWindowIcons(HWND window, int dpi) {
    if (!window) return;
    if (dpi < 1) dpi = 96;
    HICON big = makeIcon(MulDiv(32, dpi, 96), 1, false);
    HICON small = makeIcon(MulDiv(16, dpi, 96), 1, false);
    auto oldBig = reinterpret_cast<HICON>(SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big)));
    auto oldSmall =
        reinterpret_cast<HICON>(SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small)));
    if (oldBig && oldBig != big) DestroyIcon(oldBig);
    if (oldSmall && oldSmall != small) DestroyIcon(oldSmall);
}

void setWindowIcons(HWND window) {
    setWindowIcons(window, dpiForWindow(window));
}

}  // namespace vornet::app
