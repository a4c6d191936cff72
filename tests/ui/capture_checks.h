// Judges a capture of the native status window: does the picture show the layout a user
// should see? Each check returns the problems it found as readable lines (empty: the image is
// right), so a gtest can print them and a script-driven test can use them without gtest.
//
// The geometry is written out here independently of the window's own control table (in
// 96-DPI units, scaled like the window scales them), so a wrong table shows up as a problem.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/ui/bmp_image.h"

namespace vornet::app::testing {

// The system colours the window draws with (0xRRGGBB). The defaults are wine 8's.
struct CapturePalette {
    std::uint32_t window = 0xFFFFFF;      // COLOR_WINDOW
    std::uint32_t face = 0xF5F5F5;        // COLOR_BTNFACE
    std::uint32_t highlight = 0x3096FA;   // COLOR_HIGHLIGHT
    std::uint32_t windowText = 0x000000;  // COLOR_WINDOWTEXT
    std::uint32_t buttonText = 0x000000;  // COLOR_BTNTEXT
    bool highContrast = false;
};

// What the status view was given.
struct StatusExpectation {
    std::vector<double> rates;  // the rate slots of the view, oldest first
    bool paused = false;
    int tone = 0;                               // the state's tone: the ring's colour
    std::array<int, 5> dots{0, 0, -1, -1, -1};  // each row's dot tone, -1 for none
};

// MulDiv(units, dpi, 96) as Windows rounds it.
int scaleUnits(int units, int dpi);
// A control's rectangle in client pixels at `dpi` (negative table y counted from the bottom).
PixelRect controlRect(int id, int dpi, int clientHeight);

// The setup view: client size, the mark in the header, text of the title, explanation, label,
// check box and buttons, the code field's border, the footer band, not one colour.
std::vector<std::string> checkSetupCapture(const BmpImage& image, int dpi, const CapturePalette& palette);
// The status view: client size, the ring in the tone's colour with its white glyph, the chart
// bars by the chart rule, the frame, text where the table puts it, the row dots, the fixed or
// system colours of the title and the footer line, not one colour.
std::vector<std::string> checkStatusCapture(const BmpImage& image, int dpi, const CapturePalette& palette,
                                            const StatusExpectation& expected);
// The chart bars alone: each bar's height and colour for `rates`.
std::vector<std::string> checkChartBars(const BmpImage& image, int dpi, const CapturePalette& palette,
                                        const std::vector<double>& rates, bool paused);

}  // namespace vornet::app::testing
