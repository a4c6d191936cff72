#include "headless/single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/posix_handles_posix.h"

namespace vornet::headless {
namespace {

// A file descriptor closed on every path out of a function.
using Fd = UniqueFd;

std::int64_t monoMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool socketAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitFor(int fd, short events, std::int64_t deadline) {
    for (;;) {
        std::int64_t left = deadline - monoMs();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool writeAll(int fd, const unsigned char* data, std::size_t size, std::int64_t deadline) {
    while (size > 0) {
        if (!waitFor(fd, POLLOUT, deadline)) return false;
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, unsigned char* data, std::size_t size, std::int64_t deadline) {
    while (size > 0) {
        if (!waitFor(fd, POLLIN, deadline)) return false;
        ssize_t n = ::recv(fd, data, size, 0);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void putLe32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t getLe32(const unsigned char* in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    return value;
}

// Makes the socket's folder (owner-only) when missing; false with `error` unless it is a real
// folder of this user that no one else may enter.
bool privateSocketFolder(const std::string& folder, std::string& error) {
    if (folder.empty()) return true;
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(folder).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
        error = "hand-over folder is not private: " + folder;
        return false;
    }
    return true;
}

}  // namespace

std::string handoverSocketPath(const std::string& lockPath) {
    if (lockPath.empty()) return {};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        std::uint32_t hash = 2166136261u;
        for (unsigned char c : lockPath) {
            hash ^= c;
            hash *= 16777619u;
        }
        char folder[32];
        std::snprintf(folder, sizeof folder, "parlow-%08x", static_cast<unsigned>(hash));
        return (std::filesystem::path(runtime) / folder / kHandoverSocketName).string();
    }
    return (std::filesystem::path(lockPath).parent_path() / "run" / kHandoverSocketName).string();
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(const std::string& path, Outcome& outcome, std::string& error) {
    outcome = Outcome::Failed;
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) {
            outcome = Outcome::HeldByOther;
            return nullptr;
        }
        error = "cannot lock " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    outcome = Outcome::Acquired;
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd.release()));
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

HandoverAnswer sendHandover(const std::string& socketPath, std::uint32_t tag, std::string_view data, int timeoutMs) {
    const std::int64_t deadline = monoMs() + timeoutMs;
    sockaddr_un address{};
    if (!socketAddress(socketPath, address)) return HandoverAnswer::NoInstance;
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return HandoverAnswer::Refused;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) return HandoverAnswer::NoInstance;
        // A full backlog: the listener is alive but busy; wait for it within the time limit.
        if (errno != EAGAIN && errno != EINPROGRESS) return HandoverAnswer::Refused;
        if (!waitFor(fd.get(), POLLOUT, deadline)) return HandoverAnswer::Refused;
        int soError = 0;
        socklen_t length = sizeof soError;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &length) != 0 || soError != 0)
            return HandoverAnswer::Refused;
    }
    unsigned char header[8];
    putLe32(header, tag);
    putLe32(header + 4, static_cast<std::uint32_t>(data.size()));
    if (!writeAll(fd.get(), header, sizeof header, deadline)) return HandoverAnswer::Refused;
    if (!writeAll(fd.get(), reinterpret_cast<const unsigned char*>(data.data()), data.size(), deadline))
        return HandoverAnswer::Refused;
    unsigned char answer = 0;
    if (!readAll(fd.get(), &answer, 1, deadline)) return HandoverAnswer::Refused;
    return answer == 1 ? HandoverAnswer::Accepted : HandoverAnswer::Refused;
}

std::unique_ptr<HandoverListener> HandoverListener::listen(const std::string& socketPath, std::string& error) {
    sockaddr_un address{};
    if (!socketAddress(socketPath, address)) {
        error = "socket path too long: " + socketPath;
        return nullptr;
    }
    if (!privateSocketFolder(std::filesystem::path(socketPath).parent_path().string(), error)) return nullptr;
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    ::unlink(socketPath.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 8) != 0) {
        error = "cannot listen on " + socketPath + ": " + std::strerror(errno);
        return nullptr;
    }
    ::chmod(socketPath.c_str(), 0600);
    return std::unique_ptr<HandoverListener>(new HandoverListener(fd.release(), socketPath));
}

HandoverListener::~HandoverListener() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

std::optional<std::string> HandoverListener::serveOne(int readTimeoutMs) {
    Fd peer(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (peer.get() < 0) return std::nullopt;
    const std::int64_t deadline = monoMs() + readTimeoutMs;
    // Only the user's own processes may hand over a code, whatever the socket's permissions.
    ucred peerCredentials{};
    socklen_t credentialsSize = sizeof peerCredentials;
    const bool sameUser = ::getsockopt(peer.get(), SOL_SOCKET, SO_PEERCRED, &peerCredentials, &credentialsSize) == 0 &&
                          peerCredentials.uid == ::geteuid();
    unsigned char header[8];
    std::optional<std::string> code;
    if (sameUser && readAll(peer.get(), header, sizeof header, deadline)) {
        std::uint32_t tag = getLe32(header);
        std::uint32_t length = getLe32(header + 4);
        // The length is checked before anything is read, so a sender cannot make us buffer more.
        if (app::acceptableHandoverHeader(tag, length)) {
            std::string bytes(length, '\0');
            if (readAll(peer.get(), reinterpret_cast<unsigned char*>(bytes.data()), length, deadline))
                code = std::move(bytes);
        }
    }
    unsigned char answer = code ? 1 : 0;
    writeAll(peer.get(), &answer, 1, monoMs() + readTimeoutMs);
    return code;
}

}  // namespace vornet::headless
