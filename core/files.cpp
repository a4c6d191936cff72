#include "core/files.h"

#include "core/files_platform.h"

namespace vornet {

namespace files_detail {

std::string readChunks(ChunkReader& reader) {
    std::string content;
    char chunk[kReadChunkSize];
    // The ceiling is checked after each append, so the result may pass it by up to one chunk;
    // a file that keeps growing can never make this loop run without end.
    while (content.size() <= kReadWholeFileLimit) {
        std::ptrdiff_t got = reader.read(chunk, sizeof chunk);
        if (got <= 0) break;
        content.append(chunk, static_cast<std::size_t>(got));
    }
    return content;
}

std::string parentFolder(std::string_view path) {
    std::size_t end = path.size();
    while (end > 0 && !isSeparator(path[end - 1])) --end;
    if (end == 0) return {};
    while (end > 0 && isSeparator(path[end - 1])) --end;
    return std::string(path.substr(0, end));
}

}  // namespace files_detail

std::string joinPath(std::string_view folder, std::string_view name) {
    // An unknown folder (the per-user lookups give "" when nothing can be found) must not turn
    // into a path in the root or the working folder: it stays unknown, and writes to it fail.
    if (folder.empty()) return {};
    std::string joined(folder);
    if (!files_detail::isSeparator(joined.back())) joined += files_detail::preferredSeparator();
    joined += name;
    return joined;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    if (path.empty()) return std::nullopt;
    auto reader = files_detail::openForReading(path);
    if (!reader) return std::nullopt;
    return files_detail::readChunks(*reader);
}

bool writeFileAtomically(const std::string& path, std::string_view bytes) {
    if (path.empty()) return false;
    std::string folder = files_detail::parentFolder(path);
    // A failure here shows up as the temporary file failing to open.
    if (!folder.empty()) files_detail::createFolders(folder);
    std::string temporary = path + ".tmp";
    // A stale staging file (or a link someone else planted under its name) goes first; the
    // staging file is then created new, so a write never lands anywhere but in our own file.
    files_detail::removeFile(temporary);
    // The data reaches the disk before the rename, so a crash right after the replace can
    // never leave an empty or partial file where a good one was.
    if (!files_detail::writeDurably(temporary, bytes) || !files_detail::replaceFile(temporary, path)) {
        files_detail::removeFile(temporary);
        return false;
    }
    return true;
}

}  // namespace vornet
