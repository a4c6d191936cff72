#include "tests/ui/bmp_image.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unordered_map>

namespace vornet::app::testing {
namespace {

std::uint32_t le32(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

std::uint32_t le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8;
}

std::optional<BmpImage> fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return std::nullopt;
}

PixelRect clip(const BmpImage& image, const PixelRect& r) {
    return PixelRect{std::max(r.left, 0), std::max(r.top, 0), std::min(r.right, image.width),
                     std::min(r.bottom, image.height)};
}

}  // namespace

std::optional<BmpImage> readBmp(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(error, "cannot open " + path);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return fail(error, "not a BMP file");
    const std::uint32_t offset = le32(bytes, 10);
    const std::uint32_t infoSize = le32(bytes, 14);
    const auto width = static_cast<std::int32_t>(le32(bytes, 18));
    const auto height = static_cast<std::int32_t>(le32(bytes, 22));
    if (infoSize < 40 || le16(bytes, 26) != 1 || le16(bytes, 28) != 32 || le32(bytes, 30) != 0)
        return fail(error, "not an uncompressed 32-bit BMP");
    if (width <= 0 || height == 0) return fail(error, "empty image");
    const bool topDown = height < 0;
    const int rows = std::abs(height);
    const std::size_t need = static_cast<std::size_t>(width) * rows * 4;
    if (le32(bytes, 2) != bytes.size()) return fail(error, "file size differs from the header");
    if (offset > bytes.size() || bytes.size() - offset < need) return fail(error, "truncated pixel data");
    BmpImage image;
    image.width = width;
    image.height = rows;
    image.pixels.resize(static_cast<std::size_t>(width) * rows);
    for (int y = 0; y < rows; ++y) {
        const int sourceRow = topDown ? y : rows - 1 - y;
        for (int x = 0; x < width; ++x) {
            const std::size_t at = offset + (static_cast<std::size_t>(sourceRow) * width + x) * 4;
            image.pixels[static_cast<std::size_t>(y) * width + x] = le32(bytes, at) & 0xFFFFFF;
        }
    }
    return image;
}

int countColor(const BmpImage& image, const PixelRect& rect, std::uint32_t color) {
    const PixelRect r = clip(image, rect);
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) n += image.at(x, y) == color;
    return n;
}

int countInk(const BmpImage& image, const PixelRect& rect, std::uint32_t background, int tolerance) {
    const PixelRect r = clip(image, rect);
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) {
            const std::uint32_t p = image.at(x, y);
            for (int shift = 0; shift <= 16; shift += 8) {
                const int a = static_cast<int>((p >> shift) & 0xFF), b = static_cast<int>((background >> shift) & 0xFF);
                if (std::abs(a - b) > tolerance) {
                    ++n;
                    break;
                }
            }
        }
    }
    return n;
}

double dominantShare(const BmpImage& image) {
    if (image.pixels.empty()) return 1.0;
    std::unordered_map<std::uint32_t, std::size_t> counts;
    std::size_t best = 0;
    for (std::uint32_t p : image.pixels) best = std::max(best, ++counts[p]);
    return static_cast<double>(best) / static_cast<double>(image.pixels.size());
}

int runUpwards(const BmpImage& image, int x, int bottomRow, std::uint32_t color) {
    int n = 0;
    for (int y = bottomRow; y >= 0 && x >= 0 && x < image.width && y < image.height; --y) {
        if (image.at(x, y) != color) break;
        ++n;
    }
    return n;
}

std::uint32_t blendColor(std::uint32_t background, std::uint32_t color, double strength) {
    std::uint32_t out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const int a = static_cast<int>((background >> shift) & 0xFF), b = static_cast<int>((color >> shift) & 0xFF);
        out |= static_cast<std::uint32_t>(static_cast<int>(a + (b - a) * strength)) << shift;
    }
    return out;
}

}  // namespace vornet::app::testing
