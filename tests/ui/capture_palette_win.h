// The palette a capture check expects, read from the system the window drew with.
#pragma once

#include <windows.h>

#include "tests/ui/capture_checks.h"

namespace vornet::app::testing {

inline std::uint32_t rrggbb(COLORREF c) {
    return (static_cast<std::uint32_t>(GetRValue(c)) << 16) | (static_cast<std::uint32_t>(GetGValue(c)) << 8) |
           GetBValue(c);
}

inline CapturePalette systemPalette(bool highContrast) {
    CapturePalette p;
    p.window = rrggbb(GetSysColor(COLOR_WINDOW));
    p.face = rrggbb(GetSysColor(COLOR_BTNFACE));
    p.highlight = rrggbb(GetSysColor(COLOR_HIGHLIGHT));
    p.windowText = rrggbb(GetSysColor(COLOR_WINDOWTEXT));
    p.buttonText = rrggbb(GetSysColor(COLOR_BTNTEXT));
    p.highContrast = highContrast;
    return p;
}

}  // namespace vornet::app::testing
