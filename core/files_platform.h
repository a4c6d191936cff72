// The platform primitives behind core/files.h. files.cpp holds the logic both platforms share
// (joining, the parent folder, the chunked read with its ceiling, the write-then-replace
// sequence); files_posix.cpp and files_win.cpp supply these few calls.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace vornet::files_detail {

inline constexpr std::size_t kReadChunkSize = 8192;

// The separator joinPath inserts, and whether a byte separates path parts on this platform.
char preferredSeparator();
bool isSeparator(char c);

// An open file read sequentially; closed by the destructor.
class ChunkReader {
public:
    virtual ~ChunkReader() = default;
    // Bytes read into `buffer` (at most `capacity`), 0 at end of file, negative on failure.
    virtual std::ptrdiff_t read(char* buffer, std::size_t capacity) = 0;
};

// Opens an existing file for reading, sharing read, write and delete access; nullptr when it
// cannot be opened (absent, a folder, no permission, a path the platform cannot express).
std::unique_ptr<ChunkReader> openForReading(const std::string& path);

// Reads `reader` in chunks of kReadChunkSize until end of file, a failed read, or the total
// passing kReadWholeFileLimit; what was read so far is the result.
std::string readChunks(ChunkReader& reader);

// Creates `folder` and its missing ancestors; false when it does not exist afterwards.
bool createFolders(const std::string& folder);
// Creates `path` as a new file (failing when anything, a link included, already has that
// name), readable by the owner only, writes `bytes` and forces them to the disk before
// closing. False on any failure (the partial file may remain).
bool writeDurably(const std::string& path, std::string_view bytes);
// Moves `from` over `to` in one step, replacing an existing file, and makes the move durable
// where the platform allows. False when the move failed.
bool replaceFile(const std::string& from, const std::string& to);
// Best effort removal of a file.
void removeFile(const std::string& path);

// The folder part of `path`: before its last separator, trailing separators removed; empty
// when `path` has none.
std::string parentFolder(std::string_view path);

}  // namespace vornet::files_detail
