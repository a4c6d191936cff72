#include "core/guarded.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace vornet {
namespace {

// Catches a guard that does not hold the lock for its whole life, or one that keeps it after.
TEST(Guarded, TheLockIsHeldExactlyWhileAGuardLives) {
    Guarded<std::string> text("first");
    EXPECT_TRUE(text.isFree());
    {
        auto locked = text.lock();
        bool freeElsewhere = true;
        // Asked from another thread: a mutex may not be tried by the thread that holds it.
        std::thread([&] { freeElsewhere = text.isFree(); }).join();
        EXPECT_FALSE(freeElsewhere);
        *locked = "second";
        locked->append("!");
    }
    EXPECT_TRUE(text.isFree());
    EXPECT_EQ(*text.lock(), "second!");
}

// Catches a lost update: two threads that each add under the guard must see every addition.
TEST(Guarded, UpdatesFromTwoThreadsAreNotLost) {
    Guarded<int> counter(0);
    auto add = [&] {
        for (int i = 0; i < 10000; ++i) ++*counter.lock();
    };
    std::thread other(add);
    add();
    other.join();
    EXPECT_EQ(*counter.lock(), 20000);
}

}  // namespace
}  // namespace vornet
