#include "ui/icon_win.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/win_handles_win.h"
#include "ui/mark.h"

namespace vornet::app {
namespace {

UINT windowDpi(HWND window) {
    using GetDpi = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpi>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    UINT dpi = getDpi != nullptr ? getDpi(window) : 0;
    if (dpi == 0) {
        HDC screen = GetDC(nullptr);
        dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX));
        ReleaseDC(nullptr, screen);
    }
    return dpi == 0 ? 96 : dpi;
}

void replaceIcon(HWND window, WPARAM which, HICON icon) {
    auto previous = reinterpret_cast<HICON>(SendMessageW(window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon)));
    if (previous != nullptr && previous != icon) DestroyIcon(previous);
}

}  // namespace

HICON makeIcon(int size, int tone, bool badge) {
    if (size < 1) return nullptr;
    std::vector<std::uint32_t> pixels = renderMark(size, tone, badge);
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = size;
    header.bV5Height = -size;
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    win::Bitmap color(
        CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0));
    ReleaseDC(nullptr, screen);
    if (!color || bits == nullptr) return nullptr;
    // 0xAARRGGBB in little-endian memory is blue, green, red, alpha: the section's layout.
    std::memcpy(bits, pixels.data(), pixels.size() * sizeof(std::uint32_t));
    win::Bitmap mask(CreateBitmap(size, size, 1, 1, nullptr));
    if (!mask) return nullptr;
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmMask = mask.get();
    info.hbmColor = color.get();
    return CreateIconIndirect(&info);
}

void setWindowIcons(HWND window) {
    const int dpi = static_cast<int>(windowDpi(window));
    HICON big = makeIcon(MulDiv(32, dpi, 96), 1, false);
    HICON small = makeIcon(MulDiv(16, dpi, 96), 1, false);
    if (big != nullptr) replaceIcon(window, ICON_BIG, big);
    if (small != nullptr) replaceIcon(window, ICON_SMALL, small);
}

void clearWindowIcons(HWND window) {
    replaceIcon(window, ICON_BIG, nullptr);
    replaceIcon(window, ICON_SMALL, nullptr);
}

}  // namespace vornet::app
