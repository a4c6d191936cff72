#include "core/secret_string.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vornet {
namespace {

// True when every byte the string owns (its whole capacity) is zero.
bool allZero(const std::string& text) {
    const char* bytes = text.data();
    for (std::size_t i = 0; i < text.capacity(); ++i)
        if (bytes[i] != 0) return false;
    return true;
}

TEST(SecretString, WipeClearsEveryOwnedByte) {
    // Short values live inside the string object, long ones on the heap. Catches a wipe that
    // only shortens the string (its bytes stay in memory) or misses the bytes past the size.
    const std::string cases[] = {"pw", std::string(15, 's'), std::string(4096, 't')};
    for (const std::string& value : cases) {
        SCOPED_TRACE(value.size());
        std::string text = value;
        text.resize(text.size() / 2);  // bytes past the size are still the secret's
        secureWipe(text);
        EXPECT_TRUE(text.empty());
        EXPECT_TRUE(allZero(text));
    }
}

TEST(SecretString, MovedFromAndClearedValuesLeaveNothingBehind) {
    // A short std::string moves by copying its bytes and leaves them in the source. Catches a
    // move or a clear that does not wipe the value it leaves behind.
    struct Case {
        const char* name;
        std::string value;
        bool clearInstead;  // clear() instead of moving away
    };
    const Case cases[] = {
        {"short moved", "riot-pw-1", false},
        {"long moved", std::string(200, 'k'), false},
        {"short cleared", "riot-pw-2", true},
        {"long cleared", std::string(200, 'c'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SecretString source(c.value);
        if (c.clearInstead) {
            source.clear();
        } else {
            SecretString target(std::move(source));
            EXPECT_EQ(target.str(), c.value);
            SecretString assigned;
            assigned = std::move(target);
            EXPECT_EQ(assigned.str(), c.value);
            EXPECT_TRUE(allZero(target.str()));
        }
        EXPECT_TRUE(source.empty());
        EXPECT_TRUE(allZero(source.str()));
    }
}

TEST(SecretString, ReadsAndComparesLikeItsText) {
    // Catches a conversion or comparison that loses or alters the value.
    SecretString secret("s3cret");
    const std::string& text = secret;
    EXPECT_EQ(text, "s3cret");
    EXPECT_TRUE(secret == "s3cret");
    EXPECT_FALSE(secret == "other");
    EXPECT_EQ(secret.size(), 6u);
    SecretString copy = secret;
    EXPECT_TRUE(copy == secret);
}

}  // namespace
}  // namespace vornet
