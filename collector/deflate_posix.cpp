#include <libdeflate.h>

#include <cstdlib>
#include <memory>

#include "collector/deflate_engine.h"
#include "collector/gzip.h"

namespace vornet::detail {

void setGzipAllocator(GzipAllocate allocate, GzipRelease release) {
    if (allocate && release)
        libdeflate_set_memory_allocator(allocate, release);
    else
        libdeflate_set_memory_allocator(std::malloc, std::free);
}

bool appendRawDeflate(std::string& out, std::string_view data, int level) {
    // Freed however the call leaves, a failed growth of `out` included.
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
        libdeflate_alloc_compressor(level), libdeflate_free_compressor);
    if (!compressor) return false;
    const std::size_t start = out.size();
    const std::size_t bound = libdeflate_deflate_compress_bound(compressor.get(), data.size());
    out.resize(start + bound);
    // Never 0 with room for the bound: every input fits, the empty one included.
    const std::size_t written =
        libdeflate_deflate_compress(compressor.get(), data.data(), data.size(), out.data() + start, bound);
    out.resize(start + written);
    return written != 0;
}

std::uint32_t crc32Of(std::string_view data) {
    return libdeflate_crc32(0, data.data(), data.size());
}

}  // namespace vornet::detail
