// Whole-file reading, atomic file replacement and the per-user folders. Paths are UTF-8 text;
// the platform layer converts them at the boundary.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vornet {

// The per-user application folder (collector.json, app.json, stats.json, ...). Never cached.
std::string appDataFolder();
// The folder of the sealed token files. Never cached.
std::string tokenFolder();
// `folder` joined with `name` by the platform's separator (none added when `folder` already
// ends in a separator).
std::string joinPath(std::string_view folder, std::string_view name);
// True when a file or folder exists; throws std::filesystem::filesystem_error ("exists") for
// any other failure to query the path.
bool fileExists(const std::string& path);
// The content, or nothing when the file cannot be opened. Reading stops once more than
// 64 MiB were read.
std::optional<std::string> readWholeFile(const std::string& path);
// Replaces the file atomically with `bytes` (through "<path>.tmp"); true when the file now
// holds exactly `bytes`. Creates missing parent folders.
bool writeFileAtomically(const std::string& path, std::string_view bytes);

// Creates `folder` and its missing ancestors; those it creates are open to the owner only.
// True when the folder exists afterwards.
bool createPrivateFolders(const std::string& folder);
// Creates `path` as a new empty file open to the owner only; false when anything (a link
// included, which is never followed) already has that name, or creation fails.
bool createPrivateFile(const std::string& path);

inline constexpr std::size_t kReadWholeFileLimit = 67108864;

}  // namespace vornet
