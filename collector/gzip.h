// gzip (RFC 1952) wrapping of one raw deflate stream, for upload bodies.
#pragma once

#include <string>
#include <string_view>

namespace vornet {

// One gzip member holding `data`; `level` is clamped to 1..9. Throws std::runtime_error
// "gzip: out of memory" when the compressor cannot produce output.
std::string gzipCompress(std::string_view data, int level);

namespace detail {
// gzipCompress with the compressor's allocation functions replaced (zlib's zalloc/zfree
// signatures), so that allocation failure can be exercised.
using GzipAlloc = void* (*)(void* opaque, unsigned items, unsigned size);
using GzipFree = void (*)(void* opaque, void* address);
std::string gzipCompressWith(std::string_view data, int level, GzipAlloc alloc, GzipFree release, void* opaque);
}  // namespace detail

}  // namespace vornet
