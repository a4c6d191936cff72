// One headless collector per user: a lock file held with flock, and a local socket through
// which a second instance hands its invite code to the first and learns whether it was taken.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/controller.h"

namespace vornet::headless {

// The tag of an invite-code hand-over, as the Windows program's.
inline constexpr std::uint32_t kHandoverTag = static_cast<std::uint32_t>(app::kHandoverTag);
inline constexpr std::size_t kMaxHandoverCode = app::kMaxHandoverBytes;
inline constexpr int kHandoverTimeoutMs = 5000;

inline constexpr const char* kInstanceLockName = "parlow.lock";
inline constexpr const char* kHandoverSocketName = "parlow.sock";

// Holds the per-user instance lock for its lifetime (the kernel drops it when the process
// ends, so a crashed instance never blocks the next one).
class InstanceLock {
public:
    enum class Outcome { Acquired, HeldByOther, Failed };

    // Creates the file (and its folder) when missing and takes an exclusive, non-blocking lock.
    static std::unique_ptr<InstanceLock> acquire(const std::string& path, Outcome& outcome, std::string& error);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// Where the hand-over socket of the instance holding the lock at `lockPath` lives: in a
// folder of its own under the user's runtime folder ($XDG_RUNTIME_DIR, named after the lock
// so that separate application folders never share a socket), else in a "run" folder beside
// the lock. "" when `lockPath` is empty.
std::string handoverSocketPath(const std::string& lockPath);

enum class HandoverAnswer { Accepted, Refused, NoInstance };

// Sends one tagged block to the instance listening at `socketPath` and waits for its answer;
// the whole exchange takes at most `timeoutMs`. No listener gives NoInstance; a time-out, a
// broken connection or a refusal give Refused.
HandoverAnswer sendHandover(const std::string& socketPath, std::uint32_t tag, std::string_view data,
                            int timeoutMs = kHandoverTimeoutMs);

// The first instance's end: a listening socket that the owner polls from its main loop.
class HandoverListener {
public:
    // Replaces a stale socket file left by an instance that died (the caller holds the
    // instance lock, so no live instance owns it). The socket's folder is created owner-only
    // when missing and refused when it is not a folder of this user closed to everyone else,
    // so the socket is private from the moment it exists.
    static std::unique_ptr<HandoverListener> listen(const std::string& socketPath, std::string& error);
    ~HandoverListener();
    HandoverListener(const HandoverListener&) = delete;
    HandoverListener& operator=(const HandoverListener&) = delete;

    int fd() const { return fd_; }
    // Takes one waiting connection (non-blocking: nothing when none waits), reads its block
    // for at most `readTimeoutMs` and answers it. Accepted only with the hand-over tag and a
    // code of 1 to 64 bytes from a process of this same user; then the code is returned.
    std::optional<std::string> serveOne(int readTimeoutMs = 1000);

private:
    HandoverListener(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    std::string path_;
};

}  // namespace vornet::headless
