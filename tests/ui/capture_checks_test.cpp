#include "tests/ui/capture_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornet::app::testing {
namespace {

BmpImage filled(int w, int h, std::uint32_t color) {
    BmpImage image;
    image.width = w;
    image.height = h;
    image.pixels.assign(static_cast<std::size_t>(w) * h, color);
    return image;
}

bool mentions(const std::vector<std::string>& problems, const std::string& part) {
    for (const std::string& line : problems)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

// The window's geometry as the checks place it: catches a wrong scale rounding (MulDiv rounds
// half up) and rows or bottom-anchored controls put in the wrong place.
TEST(CaptureChecks, ControlRectangles) {
    struct Case {
        int id, dpi, clientHeight;
        PixelRect want;
    };
    const Case cases[] = {
        {100, 96, 572, {24, 20, 56, 52}},     {100, 144, 858, {36, 30, 84, 78}},
        {363, 96, 572, {444, 532, 540, 560}}, {363, 144, 858, {666, 798, 810, 840}},
        {332, 96, 572, {30, 391, 42, 403}},   {354, 120, 715, {230, 543, 663, 566}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const PixelRect r = controlRect(c.id, c.dpi, c.clientHeight);
        EXPECT_EQ(r.left, c.want.left);
        EXPECT_EQ(r.top, c.want.top);
        EXPECT_EQ(r.right, c.want.right);
        EXPECT_EQ(r.bottom, c.want.bottom);
    }
    EXPECT_EQ(scaleUnits(7, 120), 9);  // 8.75
    EXPECT_EQ(scaleUnits(-40, 144), -60);
}

// Images a capture must never pass with: blank, one colour with a speck, the wrong size. Each
// must be refused with a reason.
TEST(CaptureChecks, RefuseBlankWrongSizeAndOneColourImages) {
    struct Case {
        const char* name;
        BmpImage image;
        const char* reason;
    };
    BmpImage speck = filled(560, 572, 0xFFFFFF);
    for (int i = 0; i < 2000; ++i) speck.pixels[static_cast<std::size_t>(i)] = 0x000000;
    const Case cases[] = {
        {"white", filled(560, 572, 0xFFFFFF), "one colour"},
        {"black", filled(560, 572, 0x000000), "one colour"},
        {"speck", speck, "one colour"},
        {"size", filled(600, 600, 0xFFFFFF), "client area"},
    };
    const CapturePalette palette;
    StatusExpectation demo;
    demo.rates.assign(30, 100.0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto setup = checkSetupCapture(c.image, 96, palette);
        const auto status = checkStatusCapture(c.image, 96, palette, demo);
        EXPECT_TRUE(mentions(setup, c.reason));
        EXPECT_TRUE(mentions(status, c.reason));
    }
    // A blank image has no mark, no ring, no bars and no text either.
    const auto blank = checkStatusCapture(filled(560, 572, 0xFFFFFF), 96, palette, demo);
    EXPECT_TRUE(mentions(blank, "the ring has"));
    EXPECT_TRUE(mentions(blank, "bar 0:"));
    EXPECT_TRUE(mentions(blank, "no text in control 304"));
    EXPECT_TRUE(mentions(checkSetupCapture(filled(560, 572, 0xFFFFFF), 96, palette), "mark's tile"));
}

// Bars drawn to the rule pass and one pixel off fails: catches a chart check that cannot fail.
TEST(CaptureChecks, ChartBarsToThePixel) {
    const CapturePalette palette;
    BmpImage image = filled(560, 572, palette.window);
    const std::vector<double> rates = {0, 100, 400};
    // Drawn here by the rule for a 500 x 72 chart at (30, 210): W 492, H 67, maximum 400.
    const PixelRect chart = controlRect(310, 96, 572);
    const int heights[3] = {1, 16, 67};
    const double strengths[3] = {0.12, 0.45, 1.0};
    for (int i = 0; i < 3; ++i) {
        const int left = chart.left + 4 + (i * 492) / 3;
        const std::uint32_t color = blendColor(palette.window, 0x3B5BDB, strengths[i]);
        for (int y = chart.bottom - 1 - heights[i]; y < chart.bottom - 1; ++y)
            image.pixels[static_cast<std::size_t>(y) * 560 + left] = color;
    }
    EXPECT_TRUE(checkChartBars(image, 96, palette, rates, false).empty());
    EXPECT_EQ(checkChartBars(image, 96, palette, rates, true).size(), 3u);  // paused: half strength
    image.pixels[static_cast<std::size_t>(chart.bottom - 1 - 16) * 560 + chart.left + 4 + 164] = palette.window;
    EXPECT_TRUE(mentions(checkChartBars(image, 96, palette, rates, false), "bar 1: 15 pixels"));
}

}  // namespace
}  // namespace vornet::app::testing
