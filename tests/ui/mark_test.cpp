#include "ui/mark.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace vornet::app {
namespace {

std::uint32_t pixelAt(const std::vector<std::uint32_t>& pixels, int size, int x, int y) {
    return pixels[static_cast<std::size_t>(y) * size + x];
}

// --- A minimal PNG writer (stored deflate blocks) so that a person can look at the marks.

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

void putBigEndian(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void putChunk(std::string& out, const char* type, const std::string& data) {
    putBigEndian(out, static_cast<std::uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    putBigEndian(out, crc32(body));
}

std::string encodePng(const std::vector<std::uint32_t>& pixels, int size) {
    std::string raw;
    for (int y = 0; y < size; ++y) {
        raw.push_back(0);  // filter: none
        for (int x = 0; x < size; ++x) {
            std::uint32_t p = pixelAt(pixels, size, x, y);
            raw.push_back(static_cast<char>((p >> 16) & 0xFF));
            raw.push_back(static_cast<char>((p >> 8) & 0xFF));
            raw.push_back(static_cast<char>(p & 0xFF));
            raw.push_back(static_cast<char>((p >> 24) & 0xFF));
        }
    }
    std::string z = "\x78\x01";
    for (std::size_t pos = 0; pos == 0 || pos < raw.size(); pos += 65535) {
        std::size_t n = std::min<std::size_t>(65535, raw.size() - pos);
        z.push_back(pos + n >= raw.size() ? 1 : 0);
        z.push_back(static_cast<char>(n & 0xFF));
        z.push_back(static_cast<char>(n >> 8));
        z.push_back(static_cast<char>(~n & 0xFF));
        z.push_back(static_cast<char>((~n >> 8) & 0xFF));
        z.append(raw, pos, n);
    }
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    putBigEndian(z, (b << 16) | a);
    std::string ihdr;
    putBigEndian(ihdr, static_cast<std::uint32_t>(size));
    putBigEndian(ihdr, static_cast<std::uint32_t>(size));
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA
    std::string png = "\x89PNG\r\n\x1a\n";
    putChunk(png, "IHDR", ihdr);
    putChunk(png, "IDAT", z);
    putChunk(png, "IEND", "");
    return png;
}

TEST(Mark, NonPositiveSizeGivesNoPixels) {
    EXPECT_TRUE(renderMark(0, 0, false).empty());
    EXPECT_TRUE(renderMark(-3, 1, true).empty());
    EXPECT_EQ(renderMark(1, 0, false).size(), 1u);
    EXPECT_EQ(renderMark(17, 0, true).size(), 289u);
}

// Catches a swapped tone mapping; every unknown tone is amber.
TEST(Mark, ToneColors) {
    struct Case {
        int tone;
        std::uint32_t color;
    } cases[] = {{0, 0x1E7F4F}, {1, 0xD9860B}, {2, 0xE5484D}, {3, 0xD9860B}, {-1, 0xD9860B}};
    for (const Case& c : cases) EXPECT_EQ(toneColor(c.tone), c.color) << c.tone;
}

TEST(Mark, CornerIsTransparentAndCentreIsOpaque) {
    for (int size : {16, 20, 24, 32, 48}) {
        std::vector<std::uint32_t> px = renderMark(size, 1, false);
        EXPECT_EQ(pixelAt(px, size, 0, 0), 0u) << size;
        EXPECT_EQ(pixelAt(px, size, size - 1, 0), 0u) << size;
        std::uint32_t centre = pixelAt(px, size, size / 2, size / 2);
        EXPECT_EQ(centre >> 24, 0xFFu) << size;
        // The middle of the tile's left edge is away from the line: pure tile blue.
        EXPECT_EQ(pixelAt(px, size, 0, size / 2 + size / 4), 0xFF3B5BDBu) << size;
    }
}

// At 48 px the first line segment runs along y = 24 from x = 7.68 with a half width of 2.76,
// so pixel (9, 23) lies wholly on it and pixel (9, 30) wholly off it.
TEST(Mark, PulseLineIsWhite) {
    std::vector<std::uint32_t> px = renderMark(48, 0, false);
    EXPECT_EQ(pixelAt(px, 48, 9, 23), 0xFFFFFFFFu);
    EXPECT_EQ(pixelAt(px, 48, 9, 30), 0xFF3B5BDBu);
}

// Catches a badge drawn in the wrong colour, a missing gap ring or a gap that covers the tile.
TEST(Mark, BadgeAndGap) {
    for (int tone : {0, 1, 2, 5}) {
        std::vector<std::uint32_t> px = renderMark(48, tone, true);
        EXPECT_EQ(pixelAt(px, 48, 36, 36), 0xFF000000u | toneColor(tone)) << tone;
        // Pixel (26, 26): every sample is between 12.9 and 14.0 from the badge centre (36, 36),
        // inside the ring from radius 12 to 15.36.
        EXPECT_EQ(pixelAt(px, 48, 26, 26), 0u) << tone;
        // Near the badge's right edge (samples 10.1 to 10.9 from the centre): badge only.
        EXPECT_EQ(pixelAt(px, 48, 46, 36), 0xFF000000u | toneColor(tone)) << tone;
        // Beyond badge and gap the tile's rounded corner leaves the corner pixel empty.
        EXPECT_EQ(pixelAt(px, 48, 47, 47), 0u) << tone;
    }
    std::vector<std::uint32_t> plain = renderMark(48, 0, false);
    EXPECT_EQ(pixelAt(plain, 48, 26, 26) >> 24, 0xFFu);
    EXPECT_EQ(pixelAt(plain, 48, 47, 47), 0u);  // the rounded corner without the badge
}

// Edge pixels take the average of the covered samples' colours, not a darkened blend: a
// partly covered pixel far from the line is exactly tile blue, and alpha only takes the
// values round(c·255/16) (128 for 8 of 16, rounding half away from zero).
TEST(Mark, PartialCoverageKeepsColourAndQuantisesAlpha) {
    std::set<std::uint32_t> allowed;
    for (int c = 0; c <= 16; ++c) allowed.insert(static_cast<std::uint32_t>(std::floor(c * 255.0 / 16.0 + 0.5)));
    ASSERT_TRUE(allowed.count(128));
    bool sawHalf = false;
    for (int size = 8; size <= 64; ++size) {
        std::vector<std::uint32_t> px = renderMark(size, 0, false);
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                std::uint32_t p = pixelAt(px, size, x, y);
                ASSERT_TRUE(allowed.count(p >> 24)) << size << " " << x << "," << y;
                // Corner regions (outside the middle bands) never meet the line.
                const bool corner = (x < size / 5 || x >= size - size / 5) && (y < size / 5 || y >= size - size / 5);
                if (corner && p != 0) {
                    ASSERT_EQ(p & 0xFFFFFFu, 0x3B5BDBu) << size << " " << x << "," << y;
                    if ((p >> 24) == 128) sawHalf = true;
                }
            }
        }
    }
    EXPECT_TRUE(sawHalf);
}

// Writes every mark as PNG beside the test binary for a person to look at.
TEST(Mark, WritesPngFilesForInspection) {
    std::filesystem::path folder = std::filesystem::current_path() / "marks";
    std::filesystem::create_directories(folder);
    for (int size : {16, 20, 24, 32, 48}) {
        for (int tone = 0; tone <= 2; ++tone) {
            std::string png = encodePng(renderMark(size, tone, true), size);
            std::filesystem::path file = folder / ("mark-" + std::to_string(size) + "-tone" + std::to_string(tone) + ".png");
            std::ofstream(file, std::ios::binary).write(png.data(), static_cast<std::streamsize>(png.size()));
            EXPECT_EQ(std::filesystem::file_size(file), png.size()) << file;
        }
        std::string png = encodePng(renderMark(size, 0, false), size);
        std::filesystem::path file = folder / ("mark-" + std::to_string(size) + "-plain.png");
        std::ofstream(file, std::ios::binary).write(png.data(), static_cast<std::streamsize>(png.size()));
        EXPECT_EQ(std::filesystem::file_size(file), png.size()) << file;
    }
    // A large one makes the geometry easy to judge.
    std::string png = encodePng(renderMark(256, 2, true), 256);
    std::ofstream(folder / "mark-256-tone2.png", std::ios::binary).write(png.data(), static_cast<std::streamsize>(png.size()));
}

}  // namespace
}  // namespace vornet::app
