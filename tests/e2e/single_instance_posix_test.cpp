// The headless program's single-instance lock and code hand-over channel, over real sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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
