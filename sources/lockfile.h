// Finding the running game client: its install folder candidates and the lockfile in which it
// publishes the port and password of its local REST and WebSocket endpoint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/secret_string.h"

namespace vornet {

// One parsed lockfile. `fingerprint` changes with any change of the file's bytes, so it tells
// one client session from the next.
struct Lockfile {
    std::string name;  // the client's process name, not interpreted
    std::uint32_t pid = 0;
    std::int32_t port = 0;  // 1..65535
    SecretString password;  // never empty
    std::string protocol;   // stored only: requests to the client always use TLS
    std::string path;       // UTF-8 path of the file that was read; empty from parseLockfile
    std::string fingerprint;  // decimal 64-bit FNV-1a of the raw, untrimmed content
};

// The first readable, valid lockfile among candidateInstallDirs(configuredDir); searches afresh
// on every call. `configuredDir` is collection.leagueInstallDir (UTF-8, may be empty).
std::optional<Lockfile> findLockfile(const std::string& configuredDir);
// The first readable, valid "lockfile" in `dirs`, tried in order.
std::optional<Lockfile> findLockfileIn(const std::vector<std::string>& dirs);
// Ordered, duplicate-free install folder candidates: the configured folder, LEAGUE_INSTALL_DIR,
// the folder of a running client, the product settings' install path, the fixed defaults.
std::vector<std::string> candidateInstallDirs(const std::string& configuredDir);
// The folder holding the executable of the first running LeagueClientUx.exe/LeagueClient.exe.
std::optional<std::string> findRunningClientDir();

std::optional<Lockfile> parseLockfile(std::string_view content);
// The value of "product_install_full_path:" in the vendor's product settings file.
std::optional<std::string> parseProductInstallPath(std::string_view content);
// File system path equality for the candidate list: element by element, case-sensitive, '\'
// and '/' alike, a run of separators counting as one.
bool samePath(std::string_view a, std::string_view b);
// Appends `dir` unless it is empty or samePath-equal to an entry already present.
void appendCandidate(std::vector<std::string>& dirs, const std::string& dir);

// Platform layer (lockfile_win.cpp / lockfile_posix.cpp).
// Full path of the vendor's product settings file.
std::string productSettingsPath();
// Maps an install path named by the product settings file onto this machine's file system.
std::string hostInstallPath(const std::string& path);
// The fixed default install folders, in order.
std::vector<std::string> defaultInstallDirs();
// Reads a small file that another user may have planted: the last path element is not
// followed when it is a link, the open never waits (a FIFO or device is refused, not read),
// only a regular file counts, and a file longer than `limit` bytes is refused unread.
std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t limit);

// The lockfile is a short line and the product settings a short YAML text; anything longer
// is not theirs.
inline constexpr std::size_t kLockfileReadLimit = 4096;
inline constexpr std::size_t kProductSettingsReadLimit = 65536;

}  // namespace vornet
