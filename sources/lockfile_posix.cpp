#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "core/files.h"
#include "core/text.h"
#include "sources/lockfile.h"
#include "sources/lockfile_posix.h"

namespace vornet {
namespace {

constexpr const char* kProductSettingsWindowsPath =
    "C:\\ProgramData\\Riot Games\\Metadata\\league_of_legends.live\\league_of_legends.live.product_settings.yaml";
constexpr const char* kDefaultWindowsDirs[] = {
    "C:\\Riot Games\\League of Legends",
    "D:\\Riot Games\\League of Legends",
    "C:\\Program Files\\Riot Games\\League of Legends",
};

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

bool isClientImageName(std::string_view path) {
    std::size_t slash = path.find_last_of("/\\");
    std::string name = asciiLower(slash == std::string_view::npos ? path : path.substr(slash + 1));
    return name == "leagueclientux.exe" || name == "leagueclient.exe";
}

std::optional<std::string> readLink(const std::string& path) {
    std::vector<char> buffer(4096);
    ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// The NUL-separated entries of a /proc text file such as cmdline or environ.
std::vector<std::string> readNulList(const std::string& path) {
    std::vector<std::string> items;
    auto content = readWholeFile(path);
    if (!content) return items;
    std::size_t start = 0;
    while (start < content->size()) {
        std::size_t end = content->find('\0', start);
        if (end == std::string::npos) end = content->size();
        items.push_back(content->substr(start, end - start));
        start = end + 1;
    }
    return items;
}

bool isDrivePath(std::string_view path) {
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
           (path.size() == 2 || path[2] == '\\' || path[2] == '/');
}

// The folder of an image path; nothing when it names no folder.
std::optional<std::string> parentFolder(const std::string& image) {
    std::size_t slash = image.find_last_of("/\\");
    if (slash == std::string::npos) return std::nullopt;
    if (slash == 0) return std::string("/");
    return image.substr(0, slash);
}

std::string prefixOfProcess(const std::string& processDir, const std::string& fallbackPrefix) {
    for (const auto& entry : readNulList(processDir + "/environ")) {
        if (entry.rfind("WINEPREFIX=", 0) == 0 && entry.size() > 11) return entry.substr(11);
    }
    return fallbackPrefix;
}

}  // namespace

std::string defaultWinePrefix() {
    if (auto prefix = getEnv("WINEPREFIX"); prefix && !prefix->empty()) return *prefix;
    if (auto home = getEnv("HOME"); home && !home->empty()) return joinPath(*home, ".wine");
    return {};
}

std::string windowsPathInPrefix(const std::string& path, const std::string& prefix) {
    if (!isDrivePath(path) || prefix.empty()) return path;
    char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    // drive_c is always there; the other letters only exist as dosdevices links.
    std::string mapped = drive == 'c' ? joinPath(prefix, "drive_c") : joinPath(prefix, std::string("dosdevices/") + drive + ":");
    std::string rest = path.substr(2);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    std::size_t first = rest.find_first_not_of('/');
    if (first == std::string::npos) return mapped;
    return joinPath(mapped, rest.substr(first));
}

std::optional<std::string> findRunningClientDirIn(const std::string& procRoot, const std::string& fallbackPrefix) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(procRoot.c_str()));
    if (!dir) return std::nullopt;
    std::vector<std::string> pids;
    while (dirent* entry = readdir(dir.get())) {
        std::string_view name = entry->d_name;
        if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            pids.emplace_back(name);
        }
    }
    // Process id order stands in for the snapshot order of the Windows process list.
    std::sort(pids.begin(), pids.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (const auto& pid : pids) {
        std::string processDir = procRoot + "/" + pid;
        if (auto exe = readLink(processDir + "/exe"); exe && isClientImageName(*exe)) {
            if (auto folder = parentFolder(*exe)) return folder;
            continue;
        }
        // Under wine the executable is the loader; the Windows image path is the first argument.
        auto arguments = readNulList(processDir + "/cmdline");
        if (arguments.empty() || !isClientImageName(arguments.front())) continue;
        const std::string& image = arguments.front();
        if (isDrivePath(image)) {
            std::string prefix = prefixOfProcess(processDir, fallbackPrefix);
            if (prefix.empty()) continue;
            if (auto folder = parentFolder(image)) return windowsPathInPrefix(*folder, prefix);
            continue;
        }
        // A relative first argument names no folder we could trust.
        if (image.front() == '/') {
            if (auto folder = parentFolder(image)) return folder;
        }
    }
    return std::nullopt;
}

std::optional<std::string> findRunningClientDir() {
    try {
        return findRunningClientDirIn("/proc", defaultWinePrefix());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string productSettingsPath() { return windowsPathInPrefix(kProductSettingsWindowsPath, defaultWinePrefix()); }

std::string hostInstallPath(const std::string& path) { return windowsPathInPrefix(path, defaultWinePrefix()); }

std::vector<std::string> defaultInstallDirs() {
    std::string prefix = defaultWinePrefix();
    std::vector<std::string> dirs;
    if (prefix.empty()) return dirs;
    for (const char* dir : kDefaultWindowsDirs) dirs.push_back(windowsPathInPrefix(dir, prefix));
    return dirs;
}

}  // namespace vornet
