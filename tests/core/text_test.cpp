#include <gtest/gtest.h>

#include <set>
#include <system_error>

#include "core/text.h"

namespace vornet {
namespace {

TEST(Base64, Encode) {
    EXPECT_EQ(base64Encode("abc"), "YWJj");
    EXPECT_EQ(base64Encode("a"), "YQ==");
    EXPECT_EQ(base64Encode("ab"), "YWI=");
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("riot:pa55"), "cmlvdDpwYTU1");
    EXPECT_EQ(base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

const char kBlockA[] = "-----BEGIN CERTIFICATE-----\nYWJj\nZGVm\n-----END CERTIFICATE-----\n";
const char kBlockB[] = "-----BEGIN CERTIFICATE-----\r\nAAEC\r\n-----END CERTIFICATE-----\r\n";

TEST(Pem, Certificates) {
    auto two = pemCertificates(std::string("junk\n") + kBlockA + "between\n" + kBlockB + "tail");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], "abcdef");
    EXPECT_EQ(two[1], std::string("\x00\x01\x02", 3));
    EXPECT_TRUE(pemCertificates("-----BEGIN CERTIFICATE-----\nYWJj\n").empty());
    EXPECT_TRUE(pemCertificates("").empty());
    // A body of only padding decodes to nothing and is skipped; the next block still counts.
    auto skipped = pemCertificates(std::string("-----BEGIN CERTIFICATE-----\n====\n-----END CERTIFICATE-----\n") + kBlockA);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0], "abcdef");
    // CRLF and LF line ends decode the same.
    auto crlf = pemCertificates("-----BEGIN CERTIFICATE-----\r\nYWJj\r\nZGVm\r\n-----END CERTIFICATE-----\r\n");
    ASSERT_EQ(crlf.size(), 1u);
    EXPECT_EQ(crlf[0], "abcdef");
}

TEST(Loopback, ExactTexts) {
    for (const char* host : {"127.0.0.1", "localhost", "::1"}) EXPECT_TRUE(isLoopbackHost(host)) << host;
    for (const char* host : {"127.0.0.2", "LOCALHOST", "[::1]", "0:0:0:0:0:0:0:1", "localhost.", "", "example.com"})
        EXPECT_FALSE(isLoopbackHost(host)) << host;
}

struct IsoCase {
    std::int64_t ms;
    const char* text;
};

// Catches wrong rounding before 1970 and wrong leap-year handling.
TEST(Time, FormatIsoUtc) {
    const IsoCase cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1700000000123, "2023-11-14T22:13:20.123Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {86400000, "1970-01-02T00:00:00.000Z"},
        {951782400000, "2000-02-29T00:00:00.000Z"},
        {1714564800250, "2024-05-01T12:00:00.250Z"},
        {-62135596800000, "0001-01-01T00:00:00.000Z"},
        {253402300799999, "9999-12-31T23:59:59.999Z"},
        {4107542400000, "2100-03-01T00:00:00.000Z"},
        // Both sides of the four-digit years.
        {-62135596800001, "0000-12-31T23:59:59.999Z"},
        {253402300800000, "10000-01-01T00:00:00.000Z"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatIsoUtc(c.ms), c.text) << c.ms;
}

TEST(Time, Clocks) {
    std::int64_t wall = nowUnixMs();
    EXPECT_GT(wall, 1700000000000);  // after 2023
    std::int64_t a = steadyNowMs();
    std::int64_t b = steadyNowMs();
    EXPECT_LE(a, b);
}

TEST(Random, HexDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string hex = randomHex(8);
        ASSERT_EQ(hex.size(), 16u);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
        seen.insert(hex);
    }
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_EQ(randomHex(0), "");
}

TEST(Text, TrimAndLower) {
    EXPECT_EQ(trimAscii(" \t\r\n "), "");
    EXPECT_EQ(trimAscii("\n a b \r"), "a b");
    EXPECT_EQ(trimAscii("\x0b" "a\x0c"), "\x0b" "a\x0c");
    EXPECT_EQ(asciiLower("AbC-\xC3\x89\x80Z"), "abc-\xC3\x89\x80z");
}

TEST(Text, Environment) {
    EXPECT_FALSE(getEnv("PARLOW_TEST_SURELY_UNSET_VARIABLE").has_value());
}

struct WideCase {
    std::string utf8;
    std::u16string wide;
};

// Catches broken surrogate pairs and replacement behaviour at the platform boundary.
TEST(Text, WideConversions) {
    const WideCase cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {"caf\xC3\xA9", u"caf\u00e9"},
        {"\xE2\x82\xAC", u"\u20ac"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8ToWide(c.utf8), c.wide);
        EXPECT_EQ(utf8ToPath(c.utf8), c.wide);
        EXPECT_EQ(wideToUtf8(c.wide), c.utf8);
    }
    EXPECT_EQ(utf8ToWide("a\xFF" "b"), u"a\ufffdb");
    std::u16string lone = u"x";
    lone.push_back(static_cast<char16_t>(0xD83D));
    EXPECT_EQ(wideToUtf8(lone), "x\xEF\xBF\xBD");
    EXPECT_THROW(utf8ToPath("bad\xFF"), std::system_error);
    EXPECT_THROW(utf8ToPath("\xC3"), std::system_error);
}

}  // namespace
}  // namespace vornet
