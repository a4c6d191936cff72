// Icons drawn from the mark: the tray icon in the tone of the state, and the window icons.
#pragma once

#include <windows.h>

namespace vornet::app {

// An icon of the mark at `size` pixels (with the badge in the tone's colour when `badge`);
// null when the bitmap cannot be made. The caller destroys it.
HICON makeIcon(int size, int tone, bool badge);

// Gives a top-level window the mark as its big (32) and small (16) icon, scaled by the
// window's DPI, and destroys the icons they replace. Call again after a DPI change, and
// clearWindowIcons when the window is destroyed.
void setWindowIcons(HWND window);
void clearWindowIcons(HWND window);

}  // namespace vornet::app
