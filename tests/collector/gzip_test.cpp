#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <stdexcept>

#include "collector/gzip.h"
#include "tests/support/gunzip.h"

namespace vornet {
namespace {

using testing::gunzip;

std::uint32_t littleEndianAt(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

std::string randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(count, '\0');
    for (char& c : out) c = static_cast<char>(generator() & 0xFF);
    return out;
}

TEST(GzipTest, MemberHasTheFixedHeaderAndTrailer) {
    const std::string text = R"({"protocolVersion":1,"observations":[)" + std::string(3000, 'x') + "]}";
    const std::string member = gzipCompress(text, 6);
    const std::string header("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    ASSERT_GT(member.size(), 18u);
    EXPECT_EQ(member.substr(0, 10), header);
    EXPECT_EQ(littleEndianAt(member, member.size() - 4), text.size());
    EXPECT_EQ(littleEndianAt(member, member.size() - 8),
              crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
    EXPECT_LT(member.size(), text.size() / 4);
    EXPECT_EQ(gunzip(member), text);
}

// Catches a wrong XFL byte and an unclamped level reaching the compressor.
TEST(GzipTest, LevelIsClampedAndRecordedInXfl) {
    const std::string text = randomBytes(2000, 1) + std::string(2000, 'a');
    const std::vector<std::pair<int, unsigned char>> cases = {{-5, 4}, {0, 4}, {1, 4},  {2, 0},  {6, 0},
                                                              {8, 0},  {9, 2}, {10, 2}, {100, 2}};
    for (const auto& [level, xfl] : cases) {
        SCOPED_TRACE(level);
        const std::string member = gzipCompress(text, level);
        EXPECT_EQ(static_cast<unsigned char>(member[8]), xfl);
        EXPECT_EQ(static_cast<unsigned char>(member[9]), 0xFF);
        EXPECT_EQ(gunzip(member), text);
    }
}

// Catches lost bytes at buffer boundaries and a broken empty stream.
TEST(GzipTest, RoundTripsEmptyTinyAndIncompressibleData) {
    const std::vector<std::string> inputs = {"", "a", std::string("\0\x01\xff", 3), randomBytes(1 << 20, 7),
                                             std::string(5 << 20, 'z')};
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input.size());
        const std::string member = gzipCompress(input, 6);
        EXPECT_EQ(gunzip(member), input);
        EXPECT_EQ(littleEndianAt(member, member.size() - 4), input.size());
    }
}

void* refuseAllocation(std::size_t) {
    return nullptr;
}
void releaseNothing(void*) {}

TEST(GzipTest, AllocationFailureRaisesOutOfMemory) {
    detail::setGzipAllocator(refuseAllocation, releaseNothing);
    struct Restore {
        ~Restore() { detail::setGzipAllocator(nullptr, nullptr); }
    } restore;
    try {
        gzipCompress("some data", 6);
        FAIL() << "no error raised";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "gzip: out of memory");
    }
}

TEST(GzipTest, DefaultAllocatorIsBackAfterAFailure) {
    detail::setGzipAllocator(refuseAllocation, releaseNothing);
    EXPECT_THROW(gzipCompress("some data", 6), std::runtime_error);
    detail::setGzipAllocator(nullptr, nullptr);
    EXPECT_EQ(gunzip(gzipCompress("some data", 6)), "some data");
}

}  // namespace
}  // namespace vornet
