// mark_icon OUT.ico: writes the application icon, the mark without a badge at 16, 20, 24, 32,
// 48 and 256 pixels, each as a 32-bit image with alpha. Runs on the build machine.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/mark.h"

namespace {

void put16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}
void put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// One icon image: a BITMAPINFOHEADER of double height, the pixels bottom-up, then the
// all-zero AND mask (alpha decides transparency).
std::string iconImage(int size) {
    std::vector<std::uint32_t> pixels = vornet::app::renderMark(size, 1, false);
    std::string out;
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(size));
    put32(out, static_cast<std::uint32_t>(size * 2));
    put16(out, 1);
    put16(out, 32);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (int y = size - 1; y >= 0; --y) {
        for (int x = 0; x < size; ++x) put32(out, pixels[static_cast<std::size_t>(y) * size + x]);
    }
    const int maskRow = ((size + 31) / 32) * 4;
    out.append(static_cast<std::size_t>(maskRow) * size, '\0');
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mark_icon OUT.ico\n");
        return 2;
    }
    const int sizes[] = {16, 20, 24, 32, 48, 256};
    std::vector<std::string> images;
    for (int size : sizes) images.push_back(iconImage(size));
    std::string file;
    put16(file, 0);
    put16(file, 1);
    put16(file, static_cast<std::uint16_t>(images.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int size = sizes[i];
        file.push_back(static_cast<char>(size >= 256 ? 0 : size));
        file.push_back(static_cast<char>(size >= 256 ? 0 : size));
        file.push_back(0);
        file.push_back(0);
        put16(file, 1);
        put16(file, 32);
        put32(file, static_cast<std::uint32_t>(images[i].size()));
        put32(file, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const std::string& image : images) file += image;
    std::FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr) return 1;
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok ? 0 : 1;
}
