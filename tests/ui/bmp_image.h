// Reading the status window's captures back and judging their pixels. Portable: the checks
// need no platform, so the same helper serves window tests under wine and checks of the
// self-test's files anywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornet::app::testing {

// A decoded 32-bit BMP, rows top to bottom, each pixel 0xRRGGBB.
struct BmpImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// An axis-aligned rectangle in image pixels: [left, right) × [top, bottom).
struct PixelRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// Reads an uncompressed 32-bit BMP (top-down or bottom-up). Nothing when the file is
// missing, truncated or of another format; `error` then says why.
std::optional<BmpImage> readBmp(const std::string& path, std::string* error = nullptr);

// Pixels of `rect` (clipped to the image) equal to `color`.
int countColor(const BmpImage& image, const PixelRect& rect, std::uint32_t color);
// Pixels of `rect` whose colour differs from `background` by more than `tolerance` in some
// channel: the ink of text or drawing on a plain background.
int countInk(const BmpImage& image, const PixelRect& rect, std::uint32_t background, int tolerance = 40);
// The share (0 to 1) of the image taken by its most frequent colour.
double dominantShare(const BmpImage& image);
// Pixels of `color` in column x, counted upwards from row `bottomRow` until the first other
// colour.
int runUpwards(const BmpImage& image, int x, int bottomRow, std::uint32_t color);

// background + (color - background) · strength per channel, truncated (the chart's blend).
std::uint32_t blendColor(std::uint32_t background, std::uint32_t color, double strength);

}  // namespace vornet::app::testing
