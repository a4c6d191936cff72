// The headless program's single-instance lock and code hand-over channel, over real sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "headless/single_instance.h"
#include "tests/e2e/e2e_support.h"

namespace vornet::headless {
namespace {

TEST(InstanceLock, SecondHolderIsToldAndLockReturnsAfterRelease) {
    e2e::ScratchDir dir;
    const std::string path = dir.file("folder/parlow.lock");
    InstanceLock::Outcome outcome = InstanceLock::Outcome::Failed;
    std::string error;
    auto first = InstanceLock::acquire(path, outcome, error);
    ASSERT_NE(first, nullptr) << error;
    EXPECT_EQ(outcome, InstanceLock::Outcome::Acquired);
    EXPECT_EQ(InstanceLock::acquire(path, outcome, error), nullptr);
    EXPECT_EQ(outcome, InstanceLock::Outcome::HeldByOther);
    first.reset();
    EXPECT_NE(InstanceLock::acquire(path, outcome, error), nullptr);
    EXPECT_EQ(outcome, InstanceLock::Outcome::Acquired);
}

TEST(Handover, ListenerTakesOnlyTaggedCodesOfOneTo64Bytes) {
    e2e::ScratchDir dir;
    std::string error;
    auto listener = HandoverListener::listen(dir.file("parlow.sock"), error);
    ASSERT_NE(listener, nullptr) << error;
    // A wrong tag or a length outside 1..64 must be refused before anything reaches the
    // enrollment; the bounds themselves must be taken.
    struct Case {
        const char* name;
        std::uint32_t tag;
        std::string data;
        bool accepted;
    };
    const Case cases[] = {
        {"one byte", kHandoverTag, "A", true},
        {"64 bytes", kHandoverTag, std::string(64, 'x'), true},
        {"typical code with spaces", kHandoverTag, "  abcd-1234 ", true},
        {"empty", kHandoverTag, "", false},
        {"65 bytes", kHandoverTag, std::string(65, 'x'), false},
        {"wrong tag", 0x4C45434F, "ABCD", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> served;
        std::thread server([&] {
            pollfd p{listener->fd(), POLLIN, 0};
            if (::poll(&p, 1, 3000) == 1) served = listener->serveOne(1000);
        });
        HandoverAnswer answer = sendHandover(dir.file("parlow.sock"), c.tag, c.data, 3000);
        server.join();
        EXPECT_EQ(answer, c.accepted ? HandoverAnswer::Accepted : HandoverAnswer::Refused);
        EXPECT_EQ(served, c.accepted ? std::optional<std::string>(c.data) : std::nullopt);
    }
}

// A uid no account uses, standing for another local user (the test must run as root to act
// as it).
constexpr uid_t kOtherUid = 54321;

TEST(Handover, SocketFolderIsPrivateFromTheStart) {
    // Each row prepares the socket's folder. Catches a socket created in a folder that other
    // users can enter (any local user could then connect between bind and chmod, or at all),
    // and a folder that is not ours being accepted.
    struct Case {
        const char* name;
        bool needsRoot;
        int prepare;  // 0 nothing (folder made here), 1 folder 0755, 2 folder of another user
        bool listens;
    };
    const Case cases[] = {
        {"missing folder is made owner-only", false, 0, true},
        {"folder others may enter", false, 1, false},
        {"folder of another user", true, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            std::printf("skipped \"%s\": acting as another user needs root\n", c.name);
            continue;
        }
        e2e::ScratchDir dir;
        const std::string folder = dir.file("run");
        if (c.prepare != 0) {
            ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
            ASSERT_EQ(::chmod(folder.c_str(), c.prepare == 1 ? 0755 : 0700), 0);
            if (c.prepare == 2) ASSERT_EQ(::chown(folder.c_str(), kOtherUid, kOtherUid), 0);
        }
        std::string error;
        auto listener = HandoverListener::listen(folder + "/parlow.sock", error);
        EXPECT_EQ(listener != nullptr, c.listens) << error;
        if (listener) {
            struct stat info {};
            ASSERT_EQ(::stat(folder.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0700u);
        }
    }
}

TEST(Handover, CodeFromAnotherUserIsRefused) {
    // Catches a listener that takes a code from any process able to reach the socket: the
    // socket is opened to everyone on purpose here, and a child acting as another user hands
    // over a code.
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    e2e::ScratchDir dir;
    const std::string socketPath = dir.file("run/parlow.sock");
    std::string error;
    auto listener = HandoverListener::listen(socketPath, error);
    ASSERT_NE(listener, nullptr) << error;
    ASSERT_EQ(::chmod(dir.utf8().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.file("run").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(socketPath.c_str(), 0777), 0);

    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kOtherUid) != 0 || ::setuid(kOtherUid) != 0) ::_exit(10);
        HandoverAnswer answer = sendHandover(socketPath, kHandoverTag, "FOREIGN", 3000);
        ::_exit(answer == HandoverAnswer::Accepted ? 0 : answer == HandoverAnswer::Refused ? 1 : 2);
    }
    ASSERT_GT(child, 0);
    pollfd p{listener->fd(), POLLIN, 0};
    std::optional<std::string> served;
    if (::poll(&p, 1, 3000) == 1) served = listener->serveOne(1000);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "0: taken, 1: refused, 2: no instance, 10: could not switch user";
    EXPECT_EQ(served, std::nullopt);
}

TEST(Handover, SocketPathFollowsTheRuntimeFolderAndTheLock) {
    // Catches a socket beside the lock although a runtime folder exists, and two application
    // folders (two lock paths) sharing one socket in the runtime folder.
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    const std::string first = handoverSocketPath("/home/a/.local/share/Parlow/parlow.lock");
    const std::string second = handoverSocketPath("/tmp/x/Parlow/parlow.lock");
    EXPECT_EQ(first.rfind("/run/user/1000/parlow-", 0), 0u) << first;
    EXPECT_NE(std::filesystem::path(first).parent_path(), std::filesystem::path(second).parent_path());
    EXPECT_EQ(first, handoverSocketPath("/home/a/.local/share/Parlow/parlow.lock"));
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(handoverSocketPath("/home/a/.local/share/Parlow/parlow.lock"),
              "/home/a/.local/share/Parlow/run/parlow.sock");
    if (saved) ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
}

TEST(Handover, NobodyListeningAndHungListener) {
    e2e::ScratchDir dir;
    // No socket file at all, and a stale one left by an instance that died.
    EXPECT_EQ(sendHandover(dir.file("none.sock"), kHandoverTag, "CODE", 1000), HandoverAnswer::NoInstance);
    // A socket file that nobody listens on any more.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string stale = dir.file("stale.sock");
    std::memcpy(address.sun_path, stale.c_str(), stale.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    EXPECT_EQ(sendHandover(stale, kHandoverTag, "CODE", 1000), HandoverAnswer::NoInstance);

    // A first instance that never answers: the sender gives up at its time limit.
    std::string error;
    auto hung = HandoverListener::listen(dir.file("hung.sock"), error);
    ASSERT_NE(hung, nullptr) << error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendHandover(dir.file("hung.sock"), kHandoverTag, "CODE", 700), HandoverAnswer::Refused);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(took.count(), 600);
    EXPECT_LT(took.count(), 2000);
}

}  // namespace
}  // namespace vornet::headless
