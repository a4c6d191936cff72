// gzip (RFC 1952) wrapping of one raw deflate stream, for upload bodies.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vornet {

// One gzip member holding `data`; `level` is clamped to 1..9. Throws std::runtime_error
// "gzip: out of memory" when the compressor cannot produce output.
std::string gzipCompress(std::string_view data, int level);

namespace detail {
// Replaces the compressor's allocation functions for the calls that follow (both null: the
// defaults), so that allocation failure can be exercised. Not for use while compressing.
using GzipAllocate = void* (*)(std::size_t size);
using GzipRelease = void (*)(void* address);
void setGzipAllocator(GzipAllocate allocate, GzipRelease release);
}  // namespace detail

}  // namespace vornet
