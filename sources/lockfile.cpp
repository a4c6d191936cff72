#include "sources/lockfile.h"

#include <cerrno>
#include <cstdlib>
#include <exception>

#include "core/files.h"
#include "core/text.h"

namespace vornet {
namespace {

constexpr std::string_view kInstallPathKey = "product_install_full_path:";

std::string fnv1a64(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char byte : bytes) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    }
    return std::to_string(hash);
}

// strtoull semantics: leading white space and a sign accepted, stops at the first non-digit.
// A negative text wraps around, which the 32-bit range check then refuses.
std::optional<std::uint32_t> readUnsigned32(const std::string& field) {
    const char* begin = field.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(begin, &end, 10);
    if (end == begin || errno == ERANGE || value > 0xFFFFFFFFULL) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<long long> readSigned(const std::string& field) {
    const char* begin = field.c_str();
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) return std::nullopt;
    return value;
}

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// Walks the elements of a path one by one, without copying: separators of either kind and
// their runs divide elements, and empty elements do not count.
class PathWalker {
public:
    explicit PathWalker(std::string_view path) : path_(path) {}
    bool rooted() const { return !path_.empty() && isSeparator(path_.front()); }
    // The next element, or nothing at the end.
    std::optional<std::string_view> next() {
        while (at_ < path_.size() && isSeparator(path_[at_])) ++at_;
        if (at_ == path_.size()) return std::nullopt;
        const std::size_t start = at_;
        while (at_ < path_.size() && !isSeparator(path_[at_])) ++at_;
        return path_.substr(start, at_ - start);
    }

private:
    std::string_view path_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<Lockfile> parseLockfile(std::string_view content) {
    std::string_view trimmed = trimAsciiView(content);
    // Only the first five fields are used, so the split stops there: a content of many
    // separators costs no more than a short one.
    std::string_view fields[5];
    std::size_t count = 0;
    std::size_t start = 0;
    while (count < 5) {
        std::size_t colon = trimmed.find(':', start);
        if (colon == std::string_view::npos) {
            fields[count++] = trimmed.substr(start);
            break;
        }
        fields[count++] = trimmed.substr(start, colon - start);
        start = colon + 1;
    }
    if (count < 5) return std::nullopt;

    Lockfile lockfile;
    lockfile.name = std::string(fields[0]);
    auto pid = readUnsigned32(std::string(fields[1]));
    if (!pid) return std::nullopt;
    lockfile.pid = *pid;
    auto port = readSigned(std::string(fields[2]));
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    lockfile.port = static_cast<std::int32_t>(*port);
    if (fields[3].empty()) return std::nullopt;
    lockfile.password = std::string(fields[3]);
    lockfile.protocol = std::string(fields[4]);
    lockfile.fingerprint = fnv1a64(content);
    return lockfile;
}

std::optional<std::string> parseProductInstallPath(std::string_view content) {
    if (content.size() < kInstallPathKey.size()) return std::nullopt;
    std::size_t key = content.find(kInstallPathKey);
    if (key == std::string_view::npos) return std::nullopt;
    std::string_view rest = content.substr(key + kInstallPathKey.size());
    std::size_t lineEnd = rest.find('\n');
    if (lineEnd != std::string_view::npos) rest = rest.substr(0, lineEnd);
    std::string_view value = trimAsciiView(rest);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    if (value.empty()) return std::nullopt;
    return std::string(value);
}

bool samePath(std::string_view a, std::string_view b) {
    PathWalker left(a);
    PathWalker right(b);
    if (left.rooted() != right.rooted()) return false;
    for (;;) {
        std::optional<std::string_view> x = left.next();
        std::optional<std::string_view> y = right.next();
        if (!x || !y) return !x && !y;
        if (*x != *y) return false;
    }
}

void appendCandidate(std::vector<std::string>& dirs, const std::string& dir) {
    if (dir.empty()) return;
    for (const auto& existing : dirs) {
        if (samePath(existing, dir)) return;
    }
    dirs.push_back(dir);
}

std::vector<std::string> candidateInstallDirs(const std::string& configuredDir) {
    std::vector<std::string> dirs;
    appendCandidate(dirs, configuredDir);
    if (auto env = getEnv("LEAGUE_INSTALL_DIR")) appendCandidate(dirs, *env);
    if (auto running = findRunningClientDir()) appendCandidate(dirs, *running);
    std::optional<std::string> settings;
    try {
        settings = readSmallRegularFile(productSettingsPath(), kProductSettingsReadLimit);
    } catch (const std::exception&) {
        // An unusable settings path only removes this candidate.
    }
    if (settings) {
        if (auto installPath = parseProductInstallPath(*settings)) appendCandidate(dirs, hostInstallPath(*installPath));
    }
    for (const auto& dir : defaultInstallDirs()) appendCandidate(dirs, dir);
    return dirs;
}

std::optional<Lockfile> findLockfileIn(const std::vector<std::string>& dirs) {
    for (const auto& dir : dirs) {
        std::string path;
        std::optional<std::string> content;
        try {
            path = joinPath(dir, "lockfile");
            content = readSmallRegularFile(path, kLockfileReadLimit);
        } catch (const std::exception&) {
            // A folder name that is not a usable path (invalid UTF-8, say) is skipped.
            continue;
        }
        if (!content) continue;
        auto lockfile = parseLockfile(*content);
        if (!lockfile) continue;
        lockfile->path = path;
        return lockfile;
    }
    return std::nullopt;
}

std::optional<Lockfile> findLockfile(const std::string& configuredDir) {
    return findLockfileIn(candidateInstallDirs(configuredDir));
}

}  // namespace vornet
