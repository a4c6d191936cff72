#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "core/files.h"
#include "core/files_platform.h"
#include "core/posix_handles_posix.h"
#include "core/text.h"

namespace vornet {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    int get() const { return fd_.get(); }
    bool valid() const { return static_cast<bool>(fd_); }
    // Closes now and reports the result: close can be the first to report a failed write.
    bool close() {
        const int fd = fd_.release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    UniqueFd fd_;
};

class PosixReader final : public files_detail::ChunkReader {
public:
    explicit PosixReader(int fd) : fd_(fd) {}
    std::ptrdiff_t read(char* buffer, std::size_t capacity) override {
        for (;;) {
            ssize_t got = ::read(fd_.get(), buffer, capacity);
            if (got < 0 && errno == EINTR) continue;
            return got;
        }
    }

private:
    FileDescriptor fd_;
};

// A variable that names an absolute folder; relative or empty values are ignored so that no
// lookup can ever resolve against the working folder.
std::optional<std::string> absoluteFromEnv(const char* name) {
    auto value = getEnv(name);
    if (!value || value->empty() || value->front() != '/') return std::nullopt;
    return value;
}

std::string passwordDatabaseHome() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found || !found->pw_dir || found->pw_dir[0] != '/') return {};
    return found->pw_dir;
}

// $XDG_DATA_HOME, else $HOME/.local/share, else the password database's home with the same
// suffix; "" when none of them names an absolute folder.
std::string userDataBase() {
    if (auto xdg = absoluteFromEnv("XDG_DATA_HOME")) return *xdg;
    std::string home;
    if (auto fromEnv = absoluteFromEnv("HOME"))
        home = *fromEnv;
    else
        home = passwordDatabaseHome();
    if (home.empty()) return {};
    return joinPath(joinPath(home, ".local"), "share");
}

}  // namespace

namespace files_detail {

char preferredSeparator() {
    return '/';
}
bool isSeparator(char c) {
    return c == '/';
}

std::unique_ptr<ChunkReader> openForReading(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    auto reader = std::make_unique<PosixReader>(fd);
    // A folder opens fine here but is not a file to read (Windows refuses to open one).
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return nullptr;
    return reader;
}

bool createFolders(const std::string& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return std::filesystem::is_directory(folder, error);
}

bool writeDurably(const std::string& path, std::string_view bytes) {
    // The system's files belong to one user: nobody else may read them. O_EXCL with
    // O_NOFOLLOW refuses a file or link another user prepared under this name in a shared folder.
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd.valid()) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (::fsync(fd.get()) != 0) return false;
    return fd.close();
}

bool replaceFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    // The new directory entry itself must reach the disk, or a crash could bring back the old
    // file (or none). Some file systems cannot sync a folder; the rename has happened anyway.
    std::string folder = parentFolder(to);
    if (folder.empty()) folder = to.front() == '/' ? "/" : ".";
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) ::fsync(dir.get());
    return true;
}

void removeFile(const std::string& path) {
    ::unlink(path.c_str());
}

}  // namespace files_detail

std::string appDataFolder() {
    return joinPath(userDataBase(), "Parlow");
}

std::string tokenFolder() {
    if (auto local = absoluteFromEnv("LOCALAPPDATA")) return joinPath(*local, "Vornet");
    return joinPath(userDataBase(), "Vornet");
}

bool createPrivateFolders(const std::string& folder) {
    if (folder.empty()) return false;
    std::string parent = files_detail::parentFolder(folder);
    if (!parent.empty() && parent != folder) {
        struct stat info {};
        if (::stat(parent.c_str(), &info) != 0 && !createPrivateFolders(parent)) return false;
    }
    if (::mkdir(folder.c_str(), 0700) == 0) return true;
    struct stat info {};
    return errno == EEXIST && ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool createPrivateFile(const std::string& path) {
    if (path.empty()) return false;
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    return fd.valid() && fd.close();
}

bool fileExists(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return true;
    int code = errno;
    if (code == ENOENT || code == ENOTDIR) return false;
    throw std::filesystem::filesystem_error("exists", path, std::error_code(code, std::generic_category()));
}

}  // namespace vornet
