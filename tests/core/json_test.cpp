#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/json.h"

namespace vornet {
namespace {

struct ErrorCase {
    std::string text;
    std::string error;
};

std::string parseError(const std::string& text) {
    std::string error;
    auto value = parseJson(text, &error);
    EXPECT_FALSE(value.has_value()) << text;
    return error;
}

// Catches wrong messages and wrong offsets for every kind of parse failure.
TEST(JsonParse, ErrorMessagesAndOffsets) {
    const std::vector<ErrorCase> cases = {
        {"", "unexpected end at offset 0"},
        {" \t\r\n", "unexpected end at offset 4"},
        {"[1 2]", "expected , or ] at offset 3"},
        {"[1,]", "unexpected character at offset 3"},
        {"{,}", "expected key at offset 1"},
        {"{\"a\":1,}", "expected key at offset 7"},
        {"01", "trailing characters at offset 1"},
        {"1.", "bad number at offset 2"},
        {"1.x", "bad number at offset 2"},
        {"1e", "bad number at offset 2"},
        {"1e+", "bad number at offset 3"},
        {"-", "bad number at offset 1"},
        {"-a", "unexpected character at offset 1"},
        {"+1", "unexpected character at offset 0"},
        {".5", "unexpected character at offset 0"},
        {"truex", "trailing characters at offset 4"},
        {"{\"a\" 1}", "expected : at offset 5"},
        {"{\"a\":1 \"b\"}", "expected , or } at offset 7"},
        {"[1", "expected , or ] at offset 2"},
        {"{\"a\":1", "expected , or } at offset 6"},
        {"{\"a\"", "expected : at offset 4"},
        {"{", "expected key at offset 1"},
        {"[", "unexpected end at offset 1"},
        {"\"abc", "unterminated string at offset 4"},
        {"\"abc\\", "unterminated string at offset 5"},
        {"\"a\x01b\"", "control character in string at offset 3"},
        {"\"a\\qb\"", "bad escape at offset 4"},
        {"\"\\u12\"", "bad \\u escape at offset 3"},
        {"\"\\u12G4\"", "bad \\u escape at offset 6"},
        {"\"\\uD83D\\u12\"", "bad \\u escape at offset 9"},
        {"\"\\uD83D\\uZ000\"", "bad \\u escape at offset 10"},
        {"nul", "unexpected character at offset 0"},
        {"[1,2", "expected , or ] at offset 4"},
        {"\"\n\"", "control character in string at offset 2"},
        {"\x0b" "1", "unexpected character at offset 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(parseError(c.text), c.error) << "input: " << c.text;
}

TEST(JsonParse, NullErrorPointerIsAllowed) { EXPECT_FALSE(parseJson("[", nullptr)); }

// Catches an off-by-one in the depth limit.
TEST(JsonParse, NestingLimit) {
    std::string ok = std::string(128, '[') + "1" + std::string(128, ']');
    EXPECT_TRUE(parseJson(ok));
    std::string deep = std::string(129, '[') + "1" + std::string(129, ']');
    EXPECT_EQ(parseError(deep), "nesting too deep at offset 129");
    std::string emptyDeep = std::string(129, '[') + std::string(129, ']');
    EXPECT_TRUE(parseJson(emptyDeep));
    std::string objects;
    for (int i = 0; i < 129; ++i) objects += "{\"k\":";
    objects += "1" + std::string(129, '}');
    EXPECT_EQ(parseError(objects), "nesting too deep at offset " + std::to_string(129 * 5));
}

// Catches any normalisation of numbers and any re-ordering or deduplication of members.
// A text holding `count` values: an array (one value) of count - 1 zeros, or an object of
// count - 1 members.
std::string manyValues(std::size_t count, bool object) {
    std::string text(1, object ? '{' : '[');
    for (std::size_t i = 1; i < count; ++i) {
        if (i > 1) text += ',';
        text += object ? "\"\":0" : "0";
    }
    text += object ? '}' : ']';
    return text;
}

TEST(JsonParse, ValueCountLimit) {
    // Catches a parser without a bound on the values it creates (about 45 bytes of memory per
    // byte of input), and a bound set off by one either way.
    struct Case {
        std::size_t values;
        bool object;
        bool parses;
        std::size_t offset;  // where the first value too many starts
    };
    const Case cases[] = {
        {kMaxJsonValues, false, true, 0},
        {kMaxJsonValues + 1, false, false, 1 + 2 * (kMaxJsonValues - 1)},
        {kMaxJsonValues, true, true, 0},
        {kMaxJsonValues + 1, true, false, 1 + 5 * (kMaxJsonValues - 1) + 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.values << (c.object ? " object" : " array"));
        std::string error;
        auto value = parseJson(manyValues(c.values, c.object), &error);
        EXPECT_EQ(value.has_value(), c.parses);
        if (c.parses) {
            EXPECT_EQ(c.object ? value->members.size() : value->elements.size(), c.values - 1);
        } else {
            EXPECT_EQ(error, "too many values at offset " + std::to_string(c.offset));
        }
    }
}

TEST(JsonRoundTrip, ByteForByte) {
    const std::vector<std::string> texts = {
        "[1.50,-0,1E+03,12345678901234567890]",
        "{\"b\":1,\"a\":2,\"b\":3}",
        "{\"spell1Id\":18446744073709552000,\"x\":-1.0e-7}",
        "[true,false,null,\"\",{},[]]",
        "\"caf\xc3\xa9 / \\\\ \\\"\"",
        "0",
    };
    for (const auto& t : texts) {
        auto v = parseJson(t);
        ASSERT_TRUE(v) << t;
        EXPECT_EQ(writeJson(*v), t);
    }
    auto spaced = parseJson(" [ 1 , { \"a\" : [ ] } ] ");
    ASSERT_TRUE(spaced);
    EXPECT_EQ(writeJson(*spaced), "[1,{\"a\":[]}]");
}

TEST(JsonValue, RepeatedKeys) {
    auto v = parseJson("{\"a\":1,\"a\":2}");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->find("a")->text, "1");
    v->set("a", JsonValue(std::int64_t{5}));
    EXPECT_EQ(writeJson(*v), "{\"a\":5,\"a\":2}");
    v->set("b", JsonValue(true));
    EXPECT_EQ(writeJson(*v), "{\"a\":5,\"a\":2,\"b\":true}");
}

struct EscapeCase {
    std::string json;
    std::string bytes;
};

// Catches wrong surrogate pairing, lost replacement characters and wrong UTF-8 encoding.
TEST(JsonParse, UnicodeEscapes) {
    const std::vector<EscapeCase> cases = {
        {"\"\\uD83D\\uDE00\"", "\xF0\x9F\x98\x80"},
        {"\"\\uD83D\"", "\xEF\xBF\xBD"},
        {"\"\\uD83Dx\"", "\xEF\xBF\xBDx"},
        {"\"\\uD83D\\u0041\"", "\xEF\xBF\xBD" "A"},
        {"\"\\uD83D\\uD83D\\uDE00\"", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
        {"\"\\uDE00\"", "\xEF\xBF\xBD"},
        {"\"\\u00e9\"", "\xC3\xA9"},
        {"\"\\u00E9\"", "\xC3\xA9"},
        {"\"\\u20AC\"", "\xE2\x82\xAC"},
        {"\"a\\u0000b\"", std::string("a\0b", 3)},
        {"\"\\/\\b\\f\\n\\r\\t\"", "/\b\f\n\r\t"},
        {"\"\xff\xfe\"", "\xff\xfe"},
    };
    for (const auto& c : cases) {
        auto v = parseJson(c.json);
        ASSERT_TRUE(v) << c.json;
        EXPECT_EQ(v->asString(), c.bytes) << c.json;
    }
    EXPECT_EQ(writeJson(*parseJson("\"\\u00e9\"")), "\"\xC3\xA9\"");
}

TEST(JsonWrite, StringEscapes) {
    EXPECT_EQ(writeJson(JsonValue(std::string("\x01"))), "\"\\u0001\"");
    EXPECT_EQ(writeJson(JsonValue(std::string("\x1f"))), "\"\\u001f\"");
    EXPECT_EQ(writeJson(JsonValue(std::string("a/b\x7f"))), "\"a/b\x7f\"");
    EXPECT_EQ(writeJson(JsonValue(std::string("\"\\\b\t\n\f\r"))), "\"\\\"\\\\\\b\\t\\n\\f\\r\"");
    EXPECT_EQ(writeJson(JsonValue(std::string("a\0b", 3))), "\"a\\u0000b\"");
}

// Strings are scanned many bytes at a time. Catches a scan that misses (or invents) a special
// byte at some position of its chunk or after it: each special byte, and bytes that only look
// close to one (0x20, 0x7F, bytes from 0x80 up in UTF-8 sequences), at every position of
// strings of every length up to 40, through the parser and through the one-pass copier.
TEST(JsonParse, SpecialBytesAtEveryPosition) {
    auto keepAll = [](std::string_view) { return false; };
    struct Special {
        std::string raw;      // as it stands in the JSON text
        std::string decoded;  // what the parser makes of it
    };
    const Special specials[] = {{"\\\"", "\""},     {"\\\\", "\\"},     {"\\n", "\n"},   {"\\u0001", "\x01"},
                                {" ", " "},         {"\x7f", "\x7f"},   {"\xc2\x80", "\xc2\x80"}, {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}};
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (const auto& special : specials) {
                const std::string text = "\"" + std::string(at, 'a') + special.raw + std::string(length - at, 'b') + "\"";
                const std::string expected = std::string(at, 'a') + special.decoded + std::string(length - at, 'b');
                auto parsed = parseJson(text);
                ASSERT_TRUE(parsed.has_value()) << text;
                EXPECT_EQ(parsed->text, expected) << text;
                std::string copied;
                ASSERT_TRUE(appendCompactJson(copied, text, keepAll)) << text;
                EXPECT_EQ(copied, writeJson(*parsed)) << text;
            }
            // A raw control byte or an unescaped quote inside is refused wherever it stands.
            for (char bad : {'\x01', '\x1f'}) {
                const std::string text = "\"" + std::string(at, 'a') + bad + std::string(length - at, 'b') + "\"";
                EXPECT_FALSE(parseJson(text).has_value()) << at << " " << length;
                std::string copied;
                EXPECT_FALSE(appendCompactJson(copied, text, keepAll)) << at << " " << length;
            }
        }
    }
}

TEST(JsonValue, NumbersFromNative) {
    EXPECT_EQ(writeJson(JsonValue(std::numeric_limits<double>::quiet_NaN())), "null");
    EXPECT_EQ(writeJson(JsonValue(std::numeric_limits<double>::infinity())), "null");
    EXPECT_EQ(writeJson(JsonValue(0.1)), "0.10000000000000001");
    EXPECT_EQ(writeJson(JsonValue(0.0)), "0");
    EXPECT_EQ(writeJson(JsonValue(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(writeJson(JsonValue(std::int64_t{0})), "0");
    EXPECT_EQ(writeJson(JsonValue(42)), "42");
    EXPECT_EQ(writeJson(JsonValue(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
}

struct IntCase {
    std::string text;
    std::int64_t expected;
};

// Catches truncation instead of rounding and wrong handling of out-of-range values.
TEST(JsonValue, AsInt64) {
    const std::vector<IntCase> cases = {
        {"2.5", 3}, {"-2.5", -3}, {"1e3", 1000}, {"2.4", 2}, {"-0", 0},
        {"1e300", 0}, {"-1e300", 0}, {"9223372036854775808", 0}, {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& c : cases) EXPECT_EQ(parseJson(c.text)->asInt64(7), c.expected) << c.text;
    EXPECT_EQ(JsonValue(std::string("12")).asInt64(7), 7);
    EXPECT_EQ(JsonValue().asInt64(-1), -1);
}

TEST(JsonValue, ReadersNeverFail) {
    auto v = parseJson("{\"n\":1.5,\"s\":\"12\",\"b\":false,\"o\":{}}");
    ASSERT_TRUE(v);
    EXPECT_DOUBLE_EQ(v->getNumber("n", 0), 1.5);
    EXPECT_DOUBLE_EQ(v->getNumber("s", -1), -1);  // digits in a string are not converted
    EXPECT_EQ(v->getString("s", "x"), "12");
    EXPECT_EQ(v->getString("n", "x"), "x");
    EXPECT_FALSE(v->getBool("b", true));
    EXPECT_TRUE(v->getBool("missing", true));
    EXPECT_EQ(v->find("missing"), nullptr);
    EXPECT_EQ(v->find("n")->find("x"), nullptr);
    EXPECT_TRUE(v->find("n")->asString().empty());
    EXPECT_TRUE(v->find("n")->asArray().empty());
    EXPECT_TRUE(v->asArray().empty());
    EXPECT_EQ(v->asObject().size(), 4u);
    EXPECT_DOUBLE_EQ(JsonValue(std::string("1")).asDouble(9), 9);
}

TEST(JsonValue, SetAndPushChangeKind) {
    auto v = parseJson("[1,2]");
    v->set("a", JsonValue(std::int64_t{1}));
    EXPECT_EQ(writeJson(*v), "{\"a\":1}");
    v->push(JsonValue("x"));
    EXPECT_EQ(writeJson(*v), "[\"x\"]");
    JsonValue s(std::string("text"));
    s.push(JsonValue());
    EXPECT_EQ(writeJson(s), "[null]");
    EXPECT_EQ(writeJson(JsonValue::object()), "{}");
    EXPECT_EQ(writeJson(JsonValue::array()), "[]");
}

TEST(JsonValue, MoveLeavesSourceEmpty) {
    auto v = parseJson("{\"a\":[1,2],\"b\":\"text\"}");
    JsonValue moved = std::move(*v);
    EXPECT_TRUE(v->members.empty());
    EXPECT_TRUE(v->text.empty());
    EXPECT_EQ(writeJson(moved), "{\"a\":[1,2],\"b\":\"text\"}");
    JsonValue copy = moved;
    copy.find("a")->push(JsonValue(3));
    EXPECT_EQ(writeJson(moved), "{\"a\":[1,2],\"b\":\"text\"}");
}

}  // namespace
}  // namespace vornet
