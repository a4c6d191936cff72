// The raw deflate compressor under the gzip wrapping: libdeflate where it is packaged (the
// POSIX builds), zlib on Windows. Both give a conforming RFC 1951 stream with a 32 KiB window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vornet::detail {

// Appends one raw deflate stream of `data` at `level` (1..9) to `out`; false when the
// compressor could not get memory.
bool appendRawDeflate(std::string& out, std::string_view data, int level);

// CRC-32 (the gzip trailer's) of `data`.
std::uint32_t crc32Of(std::string_view data);

}  // namespace vornet::detail
