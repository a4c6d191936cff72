#include "core/posix_handles_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

namespace vornet {
namespace {

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

int openNull() {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    return fd;
}

// Catches a descriptor leaked by a move, reset or destruction, one closed twice (or closed
// although released), and -1 taken for a descriptor to close. Each case opens two
// descriptors, does one thing with them, and says which must still be open afterwards.
TEST(UniqueFd, ClosesExactlyWhatItOwns) {
    struct Case {
        const char* name;
        std::function<void(int a, int b)> act;
        bool aOpen;
        bool bOpen;
    };
    const Case cases[] = {
        {"destroyed", [](int a, int) { UniqueFd owner(a); }, false, true},
        {"moved, then both destroyed",
         [](int a, int) {
             UniqueFd first(a);
             UniqueFd second(std::move(first));
             EXPECT_FALSE(first);
             EXPECT_EQ(second.get(), a);
         },
         false, true},
        {"move-assigned over another",
         [](int a, int b) {
             UniqueFd first(a);
             UniqueFd second(b);
             second = std::move(first);
             EXPECT_FALSE(isOpen(b));
             EXPECT_TRUE(isOpen(a));
         },
         false, false},
        {"reset to another",
         [](int a, int b) {
             UniqueFd owner(a);
             owner.reset(b);
             EXPECT_FALSE(isOpen(a));
             ::close(owner.release());
         },
         false, false},
        {"released",
         [](int a, int) {
             UniqueFd owner(a);
             EXPECT_EQ(owner.release(), a);
             EXPECT_FALSE(owner);
         },
         true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int a = openNull();
        const int b = openNull();
        c.act(a, b);
        EXPECT_EQ(isOpen(a), c.aOpen);
        EXPECT_EQ(isOpen(b), c.bOpen);
        if (isOpen(a)) ::close(a);
        if (isOpen(b)) ::close(b);
    }
}

// Catches a failed open (-1) reported as a held descriptor, which callers test before use.
TEST(UniqueFd, FailedOpenHoldsNothing) {
    UniqueFd missing(::open("/nonexistent/parlow-test", O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.get(), -1);
    UniqueFd held(openNull());
    EXPECT_TRUE(held);
}

}  // namespace
}  // namespace vornet
