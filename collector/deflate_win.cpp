#include <zlib.h>

#include <algorithm>
#include <limits>

#include "collector/deflate_engine.h"
#include "collector/gzip.h"

namespace vornet::detail {
namespace {

GzipAllocate gAllocate = nullptr;
GzipRelease gRelease = nullptr;

void* allocateFor(void*, uInt items, uInt size) {
    return gAllocate(static_cast<std::size_t>(items) * size);
}
void releaseFor(void*, void* address) {
    gRelease(address);
}

// Ends the deflate stream whatever way the compression leaves.
class DeflateStream {
public:
    explicit DeflateStream(z_stream& stream) : stream_(stream) {}
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;
    ~DeflateStream() { deflateEnd(&stream_); }

private:
    z_stream& stream_;
};

constexpr std::size_t kPiece = std::numeric_limits<uInt>::max();

}  // namespace

void setGzipAllocator(GzipAllocate allocate, GzipRelease release) {
    const bool replaced = allocate && release;
    gAllocate = replaced ? allocate : nullptr;
    gRelease = replaced ? release : nullptr;
}

bool appendRawDeflate(std::string& out, std::string_view data, int level) {
    z_stream stream{};
    if (gAllocate) {
        stream.zalloc = allocateFor;
        stream.zfree = releaseFor;
    }
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    DeflateStream guard(stream);

    // deflateBound covers the whole stream, so normally one pass fills it; the loop also feeds
    // inputs larger than zlib's 32-bit counters in pieces.
    const std::size_t start = out.size();
    const uLong bound = deflateBound(&stream, static_cast<uLong>(std::min<std::size_t>(data.size(), 1u << 30)));
    out.resize(start + bound);
    std::size_t written = start;
    std::size_t consumed = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream.avail_in == 0 && consumed < data.size()) {
            const std::size_t piece = std::min(kPiece, data.size() - consumed);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + consumed));
            stream.avail_in = static_cast<uInt>(piece);
            consumed += piece;
        }
        if (written == out.size()) out.resize(out.size() + std::max<std::size_t>(out.size() / 2, 4096));
        const std::size_t room = std::min(kPiece, out.size() - written);
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + written);
        stream.avail_out = static_cast<uInt>(room);
        const int flush = consumed == data.size() ? Z_FINISH : Z_NO_FLUSH;
        status = deflate(&stream, flush);
        written += room - stream.avail_out;
        if (status == Z_MEM_ERROR || status == Z_STREAM_ERROR) return false;
    }
    out.resize(written);
    return true;
}

std::uint32_t crc32Of(std::string_view data) {
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::size_t offset = 0; offset < data.size();) {
        const std::size_t piece = std::min(kPiece, data.size() - offset);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + offset), static_cast<uInt>(piece));
        offset += piece;
    }
    return static_cast<std::uint32_t>(crc);
}

}  // namespace vornet::detail
