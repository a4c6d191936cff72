// The POSIX side of client discovery, where the client runs under wine. Exposed so that tests
// can point the process scan at a prepared folder tree instead of /proc.
#pragma once

#include <optional>
#include <string>

namespace vornet {

// $WINEPREFIX, else ~/.wine; empty when neither can be determined.
std::string defaultWinePrefix();
// A Windows drive path ("C:\x\y", "d:/x") as a path inside the wine prefix; other paths are
// returned unchanged.
std::string windowsPathInPrefix(const std::string& path, const std::string& prefix);
// Scans a /proc-like tree: numeric entries with `exe` links and `cmdline`/`environ` files.
std::optional<std::string> findRunningClientDirIn(const std::string& procRoot, const std::string& fallbackPrefix);

}  // namespace vornet
