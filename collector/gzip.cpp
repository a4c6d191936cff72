#include "collector/gzip.h"

#include <algorithm>
#include <stdexcept>

#include "collector/deflate_engine.h"

namespace vornet {
namespace {

void appendLittleEndian32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

}  // namespace

std::string gzipCompress(std::string_view data, int level) {
    level = std::clamp(level, 1, 9);
    const unsigned char extraFlags = level == 9 ? 2 : (level == 1 ? 4 : 0);
    std::string out = {'\x1f', '\x8b', '\x08', '\x00', '\x00', '\x00', '\x00', '\x00', static_cast<char>(extraFlags),
                       '\xff'};
    if (!detail::appendRawDeflate(out, data, level)) throw std::runtime_error("gzip: out of memory");
    appendLittleEndian32(out, detail::crc32Of(data));
    appendLittleEndian32(out, static_cast<std::uint32_t>(data.size() & 0xFFFFFFFFu));
    return out;
}

}  // namespace vornet
