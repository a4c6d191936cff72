#include "tests/ui/capture_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vornet::app::testing {
namespace {

struct Place {
    int id, x, y, w, h;
};

// The controls a check looks at, in 96-DPI units.
constexpr Place kPlaces[] = {
    {100, 24, 20, 32, 32},    {101, 70, 16, 460, 26},   {102, 70, 44, 460, 34},   {200, 70, 96, 200, 18},
    {201, 70, 116, 260, 28},  {202, 70, 156, 300, 22},  {203, 70, 190, 460, 36},  {204, 340, -40, 96, 28},
    {205, 444, -40, 96, 28},  {300, 16, 84, 528, 96},   {301, 30, 106, 160, 18},  {302, 202, 106, 160, 18},
    {303, 374, 106, 160, 18}, {304, 30, 124, 160, 30},  {305, 202, 124, 160, 30}, {306, 374, 124, 160, 30},
    {307, 30, 154, 160, 18},  {308, 202, 154, 160, 18}, {309, 16, 188, 528, 122}, {310, 30, 210, 500, 72},
    {311, 30, 286, 200, 18},  {312, 260, 286, 274, 18}, {313, 16, 318, 528, 186}, {360, 30, 464, 190, 28},
    {361, 16, -38, 220, 22},  {362, 340, -40, 96, 28},  {363, 444, -40, 96, 28},
};

constexpr std::uint32_t kRing[3] = {0x107C10, 0xD9860B, 0xD13438};
constexpr std::uint32_t kDot[3] = {0x1E7F4F, 0xD9860B, 0xE5484D};
constexpr std::uint32_t kTile = 0x3B5BDB;
constexpr std::uint32_t kBar = 0x3B5BDB;
constexpr std::uint32_t kFixedTitle = 0x003399;
constexpr std::uint32_t kFixedLine = 0xDFDFDF;

std::string hex(std::uint32_t c) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%06X", static_cast<unsigned>(c & 0xFFFFFF));
    return b;
}

int area(const PixelRect& r) {
    return (r.right - r.left) * (r.bottom - r.top);
}

class Problems {
public:
    void add(const std::string& line) { lines_.push_back(line); }
    std::vector<std::string> take() { return std::move(lines_); }

private:
    std::vector<std::string> lines_;
};

bool checkSize(const BmpImage& image, int dpi, Problems& p) {
    const int w = scaleUnits(560, dpi), h = scaleUnits(572, dpi);
    if (image.width == w && image.height == h) return true;
    p.add("image is " + std::to_string(image.width) + "x" + std::to_string(image.height) + ", the client area at " +
          std::to_string(dpi) + " DPI is " + std::to_string(w) + "x" + std::to_string(h));
    return false;
}

void checkNotOneColour(const BmpImage& image, Problems& p) {
    const double share = dominantShare(image);
    if (share >= 0.95) p.add("one colour covers " + std::to_string(static_cast<int>(share * 100)) + "% of the image");
}

void checkText(const BmpImage& image, int dpi, std::initializer_list<int> ids, int minimum, Problems& p) {
    for (int id : ids) {
        const PixelRect r = controlRect(id, dpi, image.height);
        const int ink = countInk(image, r, image.at(r.left, r.top));
        if (ink <= minimum) p.add("no text in control " + std::to_string(id) + " (" + std::to_string(ink) + " pixels)");
    }
}

}  // namespace

int scaleUnits(int units, int dpi) {
    const long long product = static_cast<long long>(units) * dpi;
    return static_cast<int>(product >= 0 ? (product + 48) / 96 : -((-product + 48) / 96));
}

PixelRect controlRect(int id, int dpi, int clientHeight) {
    for (const Place& place : kPlaces) {
        if (place.id != id) continue;
        const int x = scaleUnits(place.x, dpi);
        const int y = scaleUnits(place.y, dpi) + (place.y < 0 ? clientHeight : 0);
        return PixelRect{x, y, x + scaleUnits(place.w, dpi), y + scaleUnits(place.h, dpi)};
    }
    // The rows: dot 330 + i, label 340 + i, value 350 + i.
    const int row = id % 10, kind = id / 10;
    if (id >= 330 && id < 355 && row < 5 && kind >= 33 && kind <= 35) {
        const Place place = kind == 33   ? Place{id, 30, 345 + 23 * row, 12, 12}
                            : kind == 34 ? Place{id, 50, 342 + 23 * row, 130, 18}
                                         : Place{id, 184, 342 + 23 * row, 346, 18};
        const int x = scaleUnits(place.x, dpi), y = scaleUnits(place.y, dpi);
        return PixelRect{x, y, x + scaleUnits(place.w, dpi), y + scaleUnits(place.h, dpi)};
    }
    return PixelRect{};
}

std::vector<std::string> checkSetupCapture(const BmpImage& image, int dpi, const CapturePalette& palette) {
    Problems p;
    if (!checkSize(image, dpi, p)) return p.take();
    checkNotOneColour(image, p);
    // The mark: mostly tile blue, with the white pulse line.
    const PixelRect header = controlRect(100, dpi, image.height);
    const int tile = countColor(image, header, kTile), white = countColor(image, header, 0xFFFFFF);
    if (tile <= area(header) / 3) p.add("the header shows " + std::to_string(tile) + " pixels of the mark's tile");
    if (white <= area(header) / 20)
        p.add("the header's mark has no pulse line (" + std::to_string(white) + " white pixels)");
    checkText(image, dpi, {101, 102, 200, 202, 204, 205}, 20, p);
    // The code field's border along most of its top edge.
    const PixelRect field = controlRect(201, dpi, image.height);
    const int edge = countInk(image, PixelRect{field.left, field.top, field.right, field.top + 1}, palette.window, 20);
    if (edge <= (field.right - field.left) / 2) p.add("the code field has no border");
    // The footer band in the face colour.
    const int face = countColor(image, PixelRect{0, image.height - 10, image.width, image.height}, palette.face);
    if (face <= image.width * 5) p.add("the footer band is not in the face colour " + hex(palette.face));
    return p.take();
}

std::vector<std::string> checkChartBars(const BmpImage& image, int dpi, const CapturePalette& palette,
                                        const std::vector<double>& rates, bool paused) {
    Problems p;
    double maximum = 0;
    for (double v : rates) maximum = std::max(maximum, std::round(v));
    const PixelRect chart = controlRect(310, dpi, image.height);
    const long long W = (chart.right - chart.left) - 8;
    const int H = (chart.bottom - chart.top) - 5;
    const double M = std::max(1.0, maximum);
    const long long n = static_cast<long long>(rates.size());
    const std::uint32_t bar = palette.highContrast ? palette.highlight : kBar;
    for (long long i = 0; i < n; ++i) {
        const double value = std::round(rates[static_cast<std::size_t>(i)]);
        const int left = chart.left + 4 + static_cast<int>((i * W) / n);
        const std::string name = "bar " + std::to_string(i);
        if (palette.highContrast && value <= 0) {
            if (image.at(left, chart.bottom - 2) != palette.window) p.add(name + " is drawn but its slot is empty");
            continue;
        }
        const int height = std::max(value > 0 ? 3 : 1, static_cast<int>(value / M * H));
        double strength = palette.highContrast ? 1.0 : value > 0.25 * M ? 1.0 : value > 0 ? 0.45 : 0.12;
        if (paused && !palette.highContrast) strength /= 2;
        const std::uint32_t color = blendColor(palette.window, bar, strength);
        const int run = runUpwards(image, left, chart.bottom - 2, color);
        if (run != height)
            p.add(name + ": " + std::to_string(run) + " pixels of " + hex(color) + ", the rule gives " +
                  std::to_string(height));
    }
    return p.take();
}

std::vector<std::string> checkStatusCapture(const BmpImage& image, int dpi, const CapturePalette& palette,
                                            const StatusExpectation& expected) {
    Problems p;
    if (!checkSize(image, dpi, p)) return p.take();
    checkNotOneColour(image, p);
    // The ring in the tone's colour with its white glyph, and no other tone's colour.
    const PixelRect ring = controlRect(100, dpi, image.height);
    const int tone = expected.tone >= 0 && expected.tone <= 2 ? expected.tone : 1;
    const int ringPixels = countColor(image, ring, kRing[tone]);
    if (ringPixels <= area(ring) / 2)
        p.add("the ring has " + std::to_string(ringPixels) + " pixels of " + hex(kRing[tone]));
    if (countColor(image, ring, 0xFFFFFF) <= area(ring) / 40) p.add("the ring has no white glyph");
    for (int other = 0; other < 3; ++other)
        if (other != tone && countColor(image, ring, kRing[other]) > 0)
            p.add("the ring shows the colour of tone " + std::to_string(other));

    for (std::string& line : checkChartBars(image, dpi, palette, expected.rates, expected.paused))
        p.add(std::move(line));
    const PixelRect chart = controlRect(310, dpi, image.height);
    const std::uint32_t frame = palette.highContrast ? palette.windowText : kFixedLine;
    if (image.at(chart.left, chart.top) != frame || image.at(chart.right - 1, chart.bottom - 1) != frame)
        p.add("the chart frame is not " + hex(frame));

    checkText(image, dpi, {101, 102, 300, 301, 302, 303, 304, 305, 306, 307, 308, 311, 312, 340,
                           341, 342, 343, 344, 350, 351, 352, 353, 354, 360, 361, 362, 363},
              15, p);
    for (int row = 0; row < 5; ++row) {
        const PixelRect dot = controlRect(330 + row, dpi, image.height);
        const int want = expected.dots[static_cast<std::size_t>(row)];
        if (want < 0) {
            if (countInk(image, dot, palette.window) != 0) p.add("row " + std::to_string(row) + " has a dot");
        } else if (countColor(image, dot, kDot[want]) <= area(dot) / 2) {
            p.add("row " + std::to_string(row) + " has no dot of " + hex(kDot[want]));
        }
    }

    // Fixed colours, or the system's in high contrast: the title and the footer line.
    const PixelRect title = controlRect(101, dpi, image.height);
    const int fixedTitle = countColor(image, title, kFixedTitle);
    const std::uint32_t line = palette.highContrast ? palette.buttonText : kFixedLine;
    if (image.at(image.width / 2, image.height - scaleUnits(52, dpi)) != line)
        p.add("the footer line is not " + hex(line));
    if (palette.highContrast) {
        if (fixedTitle != 0) p.add("the title keeps its fixed colour in high contrast");
        if (countColor(image, title, palette.windowText) <= 15) p.add("the title is not in the window text colour");
    } else if (fixedTitle <= 15) {
        p.add("the title is not in " + hex(kFixedTitle));
    }
    return p.take();
}

}  // namespace vornet::app::testing
