#include "tests/ui/bmp_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vornet::app::testing {
namespace {

void put32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// A 32-bit BMP file of w × h pixels given top row first; rows stored bottom-up when asked.
std::string bmpBytes(int w, int h, const std::vector<std::uint32_t>& topFirst, bool bottomUp) {
    std::string b(54, '\0');
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<std::uint32_t>(54 + w * h * 4));
    put32(b, 10, 54);
    put32(b, 14, 40);
    put32(b, 18, static_cast<std::uint32_t>(w));
    put32(b, 22, static_cast<std::uint32_t>(bottomUp ? h : -h));
    b[26] = 1;
    b[28] = 32;
    for (int row = 0; row < h; ++row) {
        const int source = bottomUp ? h - 1 - row : row;
        for (int x = 0; x < w; ++x) {
            std::string px(4, '\0');
            put32(px, 0, topFirst[static_cast<std::size_t>(source * w + x)] | 0xFF000000u);
            b += px;
        }
    }
    return b;
}

std::string writeTemp(const std::string& name, const std::string& bytes) {
    auto path = std::filesystem::temp_directory_path() / ("parlow-bmp-" + name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

const std::vector<std::uint32_t> kPixels = {
    0xFF0000, 0x00FF00, 0x0000FF,  //
    0xFFFFFF, 0xFFFFFF, 0x123456,
};

// Both row orders decode to the same picture: catches rows read upside down and the unused
// fourth byte leaking into the colour.
TEST(ReadBmp, BothRowOrders) {
    for (bool bottomUp : {false, true}) {
        SCOPED_TRACE(bottomUp);
        std::string error;
        auto image = readBmp(writeTemp(bottomUp ? "up.bmp" : "down.bmp", bmpBytes(3, 2, kPixels, bottomUp)), &error);
        ASSERT_TRUE(image) << error;
        EXPECT_EQ(image->width, 3);
        EXPECT_EQ(image->height, 2);
        EXPECT_EQ(image->pixels, kPixels);
    }
}

// Files a capture must not be mistaken for: catches a reader that accepts a truncated,
// mislabelled or other-format image (a failed capture would then pass its checks).
TEST(ReadBmp, RefusesBrokenFiles) {
    const std::string good = bmpBytes(3, 2, kPixels, false);
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::string notBm = good;
    notBm[0] = 'X';
    std::string bits24 = good;
    bits24[28] = 24;
    std::string compressed = good;
    put32(compressed, 30, 3);
    std::string wrongSize = good;
    put32(wrongSize, 2, 999);
    const Case cases[] = {
        {"short", good.substr(0, 40)},
        {"truncated", good.substr(0, good.size() - 4)},
        {"magic", notBm},
        {"24-bit", bits24},
        {"compressed", compressed},
        {"size", wrongSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(readBmp(writeTemp(std::string(c.name) + ".bmp", c.bytes), &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(readBmp((std::filesystem::temp_directory_path() / "parlow-bmp-missing.bmp").string()));
}

// The pixel measures the window checks rely on, each against a hand-counted answer.
TEST(PixelChecks, CountsAndRuns) {
    BmpImage image;
    image.width = 3;
    image.height = 4;
    // Column 1 holds a run of three blue pixels from the bottom; the rest is white but for one
    // grey pixel that differs from white by less than the ink tolerance.
    image.pixels = {
        0xFFFFFF, 0xFFFFFF, 0xFFFFFF,  //
        0xFFFFFF, 0x3B5BDB, 0xF0F0F0,  //
        0xFFFFFF, 0x3B5BDB, 0xFFFFFF,  //
        0xFFFFFF, 0x3B5BDB, 0x000000,
    };
    EXPECT_EQ(countColor(image, PixelRect{0, 0, 3, 4}, 0x3B5BDB), 3);
    EXPECT_EQ(countColor(image, PixelRect{-5, -5, 50, 2}, 0xFFFFFF), 4);  // clipped to the image
    EXPECT_EQ(countInk(image, PixelRect{0, 0, 3, 4}, 0xFFFFFF), 4);       // 3 blue + black
    EXPECT_EQ(runUpwards(image, 1, 3, 0x3B5BDB), 3);
    EXPECT_EQ(runUpwards(image, 1, 2, 0x3B5BDB), 2);
    EXPECT_EQ(runUpwards(image, 0, 3, 0x3B5BDB), 0);
    EXPECT_DOUBLE_EQ(dominantShare(image), 7.0 / 12.0);
    EXPECT_EQ(blendColor(0xFFFFFF, 0x3B5BDB, 0.45), 0xA6B5EEu);
    EXPECT_EQ(blendColor(0xFFFFFF, 0x3B5BDB, 1.0), 0x3B5BDBu);
}

}  // namespace
}  // namespace vornet::app::testing
