#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
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

// Closes a descriptor that the scope opened.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// The last element of `path` is `name` (lower case), whatever the case of its letters. Only the
// tail is looked at: the scan asks this of every process.
bool endsWithImageName(std::string_view path, std::string_view name) {
    if (path.size() < name.size()) return false;
    const std::size_t start = path.size() - name.size();
    if (start > 0 && path[start - 1] != '/' && path[start - 1] != '\\') return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = path[start + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != name[i]) return false;
    }
    return true;
}

bool isClientImageName(std::string_view path) {
    return endsWithImageName(path, "leagueclientux.exe") || endsWithImageName(path, "leagueclient.exe");
}

// wine, wine64, wine-preloader, wine64-preloader: the programs a Windows process of wine runs
// as, whatever its Windows image.
bool isWineLoader(std::string_view exe) {
    std::size_t slash = exe.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? exe : exe.substr(slash + 1);
    return name.rfind("wine", 0) == 0;
}

// A /proc entry path relative to the scanned folder, e.g. "1234/exe", built without the heap
// or printf: the scan builds several for every process.
struct EntryPath {
    char text[48];
    EntryPath(std::uint32_t pid, const char* leaf) {
        char digits[10];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + pid % 10);
            pid /= 10;
        } while (pid != 0);
        char* out = text;
        while (count > 0) *out++ = digits[--count];
        *out++ = '/';
        while (*leaf != '\0' && out < text + sizeof text - 1) *out++ = *leaf++;
        *out = '\0';
    }
};

// Only the user's own processes count: another user's process named like the client must
// not choose the folder whose lockfile is read. Asked only of a process whose name matched,
// so that the scan of all the others costs nothing extra.
bool ownProcess(int procFd, std::uint32_t pid) {
    struct stat owner {};
    return ::fstatat(procFd, EntryPath(pid, "").text, &owner, AT_SYMLINK_NOFOLLOW) == 0 && owner.st_uid == ::geteuid();
}

// The first NUL-terminated entry of a process's cmdline (the image path under wine); the
// scan needs nothing after it. Empty when unreadable.
std::string_view firstArgument(int procFd, std::uint32_t pid, char* buffer, std::size_t size) {
    Fd fd(::openat(procFd, EntryPath(pid, "cmdline").text, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) return {};
    ssize_t length = ::read(fd.get(), buffer, size);
    if (length <= 0) return {};
    std::string_view text(buffer, static_cast<std::size_t>(length));
    std::size_t end = text.find('\0');
    if (end == std::string_view::npos) {
        // An argument longer than the buffer is no image path the platform allows.
        if (static_cast<std::size_t>(length) == size) return {};
        return text;
    }
    return text.substr(0, end);
}

// The NUL-separated entries of a /proc text file such as environ.
std::vector<std::string> readNulList(int procFd, std::uint32_t pid, const char* leaf) {
    std::vector<std::string> items;
    Fd fd(::openat(procFd, EntryPath(pid, leaf).text, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) return items;
    std::string content;
    char chunk[4096];
    ssize_t length = 0;
    while ((length = ::read(fd.get(), chunk, sizeof chunk)) > 0 && content.size() < kReadWholeFileLimit)
        content.append(chunk, static_cast<std::size_t>(length));
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\0', start);
        if (end == std::string::npos) end = content.size();
        items.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// A one-line /proc file such as stat, up to `size` bytes; empty when unreadable. The line comes
// whole with the first read, so no second read is spent on its end.
std::string_view readProcLine(int procFd, const char* path, char* buffer, std::size_t size) {
    Fd fd(::openat(procFd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) return {};
    std::size_t done = 0;
    while (done < size && !(done > 0 && buffer[done - 1] == '\n')) {
        ssize_t length = ::read(fd.get(), buffer + done, size - done);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) break;
        done += static_cast<std::size_t>(length);
    }
    return std::string_view(buffer, done);
}

// What pid 2 is in the scanned tree: the kernel's thread creator (kthreadd), whose children are
// the kernel's own threads, or an ordinary process, as inside a pid namespace.
enum class PidTwo { Unknown, KernelThread, Ordinary };

// Read from pid 2's stat line: the kernel thread flag. Unknown when the line cannot be read.
PidTwo readPidTwo(int procFd) {
    constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
    char stat[512];
    std::string_view line = readProcLine(procFd, "2/stat", stat, sizeof stat);
    // "2 (kthreadd) S ppid pgrp session tty tpgid flags ...": the name may hold anything, so
    // the fields are counted from its closing parenthesis.
    std::size_t close = line.rfind(')');
    if (close == std::string_view::npos) return PidTwo::Unknown;
    std::size_t at = close + 1;
    unsigned long flags = 0;
    for (int field = 0; field < 7; ++field) {
        while (at < line.size() && line[at] == ' ') ++at;
        if (field == 6) {
            bool digits = false;
            for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at, digits = true)
                flags = flags * 10 + static_cast<unsigned long>(line[at] - '0');
            if (!digits) return PidTwo::Unknown;
            break;
        }
        while (at < line.size() && line[at] != ' ') ++at;
    }
    return (flags & kKernelThreadFlag) != 0 ? PidTwo::KernelThread : PidTwo::Ordinary;
}

// The kernel's own threads, sorted: kthreadd (pid 2) and its children, read from its children
// file. Without it the scan asks each of them (a hundred or more on a desktop) for an
// executable it does not have, which is most of the scan's cost. Empty unless pid 2 is a
// kernel thread: inside a pid namespace pid 2 can be anything.
std::vector<std::uint32_t> kernelThreads(int procFd, PidTwo pidTwo) {
    std::vector<std::uint32_t> pids;
    if (pidTwo != PidTwo::KernelThread) return pids;
    pids.push_back(2);
    // Each pid is followed by a space. One read only: it holds a desktop's kernel threads (the
    // kernel hands out the list a page at a time), and a thread left out of the list is merely
    // asked like any other process. A number cut short at the end is not taken.
    char text[16 * 1024];
    std::string_view children;
    {
        Fd fd(::openat(procFd, "2/task/2/children", O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (fd.get() < 0) return pids;
        ssize_t length = 0;
        do {
            length = ::read(fd.get(), text, sizeof text);
        } while (length < 0 && errno == EINTR);
        if (length <= 0) return pids;
        children = std::string_view(text, static_cast<std::size_t>(length));
    }
    std::uint64_t pid = 0;
    bool inNumber = false;
    for (char c : children) {
        if (c >= '0' && c <= '9') {
            pid = pid * 10 + static_cast<unsigned>(c - '0');
            if (pid > 0xFFFFFFFFULL) return {};  // not the list we know how to read
            inNumber = true;
        } else {
            if (inNumber) pids.push_back(static_cast<std::uint32_t>(pid));
            pid = 0;
            inNumber = false;
        }
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool isDrivePath(std::string_view path) {
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
           (path.size() == 2 || path[2] == '\\' || path[2] == '/');
}

// The wine prefix a process runs in: its WINEPREFIX, else the fallback.
std::string prefixOfProcess(int procFd, std::uint32_t pid, const std::string& fallbackPrefix) {
    for (const auto& entry : readNulList(procFd, pid, "environ")) {
        if (entry.rfind("WINEPREFIX=", 0) == 0 && entry.size() > 11) return entry.substr(11);
    }
    return fallbackPrefix;
}

// The folder of an image path; nothing when it names no folder.
std::optional<std::string> parentFolder(std::string_view image) {
    std::size_t slash = image.find_last_of("/\\");
    if (slash == std::string_view::npos) return std::nullopt;
    if (slash == 0) return std::string("/");
    return std::string(image.substr(0, slash));
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
    std::string mapped =
        drive == 'c' ? joinPath(prefix, "drive_c") : joinPath(prefix, std::string("dosdevices/") + drive + ":");
    std::string rest = path.substr(2);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    std::size_t first = rest.find_first_not_of('/');
    if (first == std::string::npos) return mapped;
    return joinPath(mapped, rest.substr(first));
}

namespace {

// What pid 2 of this process's /proc is, once known: it stays what it is for the process's
// life, since kthreadd never ends and a pid namespace whose pid 2 is an ordinary process never
// shows the kernel's threads. Each scan of the real /proc then saves reading its stat line.
std::atomic<PidTwo> realProcPidTwo{PidTwo::Unknown};

// `realProc`: the tree is this process's /proc, where what pid 2 is may be remembered and a
// short listing is known to be the whole folder.
std::optional<std::string> scanProcesses(const std::string& procRoot, const std::string& fallbackPrefix,
                                         bool realProc) {
    Fd proc(::open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (proc.get() < 0) return std::nullopt;
    const int procFd = proc.get();
    std::vector<std::uint32_t> pids;
    pids.reserve(512);
    // The entries straight from getdents64: opendir would add three system calls per scan
    // (fstat and two fcntl) to a scan that runs every 2 s without a client.
    alignas(8) char entries[32 * 1024];
    for (;;) {
        const ssize_t got = ::getdents64(procFd, entries, sizeof entries);
        if (got <= 0) break;
        // /proc fills each read as far as the next entry fits: room left for the longest
        // entry means the listing has ended, and the read that would say so is saved.
        const bool ended = realProc && sizeof entries - static_cast<std::size_t>(got) >= sizeof(dirent64);
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            std::uint64_t pid = 0;
            const char* c = entry->d_name;
            for (; *c >= '0' && *c <= '9' && pid <= 0xFFFFFFFFULL; ++c)
                pid = pid * 10 + static_cast<unsigned>(*c - '0');
            if (*c == '\0' && c != entry->d_name && pid <= 0xFFFFFFFFULL) pids.push_back(static_cast<std::uint32_t>(pid));
        }
        if (ended) break;
    }
    // Process id order stands in for the snapshot order of the Windows process list.
    std::sort(pids.begin(), pids.end());
    PidTwo pidTwo = realProc ? realProcPidTwo.load(std::memory_order_relaxed) : PidTwo::Unknown;
    if (pidTwo == PidTwo::Unknown) {
        pidTwo = readPidTwo(procFd);
        if (realProc && pidTwo != PidTwo::Unknown) realProcPidTwo.store(pidTwo, std::memory_order_relaxed);
    }
    const std::vector<std::uint32_t> kernel = kernelThreads(procFd, pidTwo);
    auto nextKernel = kernel.begin();
    char link[4096];
    char arguments[4096];
    for (std::uint32_t pid : pids) {
        while (nextKernel != kernel.end() && *nextKernel < pid) ++nextKernel;
        if (nextKernel != kernel.end() && *nextKernel == pid) continue;
        ssize_t linkLength = ::readlinkat(procFd, EntryPath(pid, "exe").text, link, sizeof link);
        // No executable to read: a kernel thread, a process that has ended, or another user's
        // process. None of them can be the user's client, so its cmdline is not read either.
        if (linkLength < 0) continue;
        if (linkLength > 0 && static_cast<std::size_t>(linkLength) < sizeof link) {
            std::string_view exe(link, static_cast<std::size_t>(linkLength));
            if (isClientImageName(exe)) {
                if (!ownProcess(procFd, pid)) continue;
                if (auto folder = parentFolder(exe)) return folder;
                continue;
            }
        }
        // Under wine the executable is wine's loader and the Windows image path is the first
        // argument. Only a loader's arguments are read: for every other process the executable
        // link has already said what it runs, and reading a process's arguments costs a walk
        // through its memory.
        if (!isWineLoader(std::string_view(link, static_cast<std::size_t>(linkLength)))) continue;
        std::string_view image = firstArgument(procFd, pid, arguments, sizeof arguments);
        if (image.empty() || !isClientImageName(image) || !ownProcess(procFd, pid)) continue;
        if (isDrivePath(image)) {
            std::string prefix = prefixOfProcess(procFd, pid, fallbackPrefix);
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

}  // namespace

std::optional<std::string> findRunningClientDirIn(const std::string& procRoot, const std::string& fallbackPrefix) {
    return scanProcesses(procRoot, fallbackPrefix, false);
}

std::optional<std::string> findRunningClientDir() {
    try {
        return scanProcesses("/proc", defaultWinePrefix(), true);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string productSettingsPath() {
    return windowsPathInPrefix(kProductSettingsWindowsPath, defaultWinePrefix());
}

std::string hostInstallPath(const std::string& path) {
    return windowsPathInPrefix(path, defaultWinePrefix());
}

std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t limit) {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; the type check then
    // refuses it (and devices) before any read.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > limit) return std::nullopt;
    std::string content(limit + 1, '\0');
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t length = ::read(fd.get(), content.data() + done, content.size() - done);
        if (length < 0 && errno == EINTR) continue;
        if (length < 0) return std::nullopt;
        if (length == 0) break;
        done += static_cast<std::size_t>(length);
    }
    // The file grew past the limit after fstat: still refused.
    if (done > limit) return std::nullopt;
    content.resize(done);
    return content;
}

std::vector<std::string> defaultInstallDirs() {
    std::string prefix = defaultWinePrefix();
    std::vector<std::string> dirs;
    if (prefix.empty()) return dirs;
    for (const char* dir : kDefaultWindowsDirs) dirs.push_back(windowsPathInPrefix(dir, prefix));
    return dirs;
}

}  // namespace vornet
