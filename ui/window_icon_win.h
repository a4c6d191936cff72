// Platform icons made from the drawn mark: the tray icon and the window icons.
#pragma once

#include <windows.h>

namespace vornet::app {

// An icon of size × size from renderMark, or nullptr when the bitmap cannot be created. The
// caller owns it (DestroyIcon).
HICON makeIcon(int size, int tone, bool badge);

// Gives a top-level window its big (32) and small (16) icons, scaled from 96 DPI to `dpi`,
// without badge, and destroys the icons they replace.
void setWindowIcons(HWND window, int dpi);
// The same at the window's current DPI.
void setWindowIcons(HWND window);

}  // namespace vornet::app
