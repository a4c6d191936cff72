#include "collector/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vornet {
namespace {

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

void appendLittleEndian32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

[[noreturn]] void outOfMemory() { throw std::runtime_error("gzip: out of memory"); }

}  // namespace

namespace detail {

std::string gzipCompressWith(std::string_view data, int level, GzipAlloc alloc, GzipFree release, void* opaque) {
    level = std::clamp(level, 1, 9);
    z_stream stream{};
    stream.zalloc = alloc;
    stream.zfree = release;
    stream.opaque = opaque;
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        outOfMemory();
    }
    DeflateStream guard(stream);

    const unsigned char extraFlags = level == 9 ? 2 : (level == 1 ? 4 : 0);
    std::string out = {'\x1f', '\x8b', '\x08', '\x00', '\x00', '\x00', '\x00', '\x00', static_cast<char>(extraFlags),
                       '\xff'};
    constexpr std::size_t kHeader = 10;
    // deflateBound covers the whole stream, so normally one pass fills it; the loop also feeds
    // inputs larger than zlib's 32-bit counters in pieces.
    const uLong bound = deflateBound(&stream, static_cast<uLong>(std::min<std::size_t>(data.size(), 1u << 30)));
    out.resize(kHeader + bound);
    std::size_t written = kHeader;
    std::size_t consumed = 0;
    constexpr std::size_t kPiece = std::numeric_limits<uInt>::max();
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream.avail_in == 0 && consumed < data.size()) {
            const std::size_t piece = std::min(kPiece, data.size() - consumed);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + consumed));
            stream.avail_in = static_cast<uInt>(piece);
            consumed += piece;
        }
        if (written == out.size()) {
            out.resize(out.size() + std::max<std::size_t>(out.size() / 2, 4096));
        }
        const std::size_t room = std::min(kPiece, out.size() - written);
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + written);
        stream.avail_out = static_cast<uInt>(room);
        const int flush = consumed == data.size() ? Z_FINISH : Z_NO_FLUSH;
        status = deflate(&stream, flush);
        written += room - stream.avail_out;
        if (status == Z_MEM_ERROR || status == Z_STREAM_ERROR) {
            outOfMemory();
        }
    }
    out.resize(written);

    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::size_t offset = 0; offset < data.size();) {
        const std::size_t piece = std::min(kPiece, data.size() - offset);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + offset), static_cast<uInt>(piece));
        offset += piece;
    }
    appendLittleEndian32(out, static_cast<std::uint32_t>(crc));
    appendLittleEndian32(out, static_cast<std::uint32_t>(data.size() & 0xFFFFFFFFu));
    return out;
}

}  // namespace detail

std::string gzipCompress(std::string_view data, int level) {
    return detail::gzipCompressWith(data, level, Z_NULL, Z_NULL, Z_NULL);
}

}  // namespace vornet
