#include "app/app_options.h"

#include <gtest/gtest.h>

namespace vornet::app {
namespace {

// Catches prefix or case-insensitive matching, a value-less switch swallowing nothing, and
// a wrong integer reading.
TEST(AppOptionsTest, Parse) {
    AppOptions a = parseArguments({u"parlow.exe", u"--background", u"--native-ui", u"--demo", u"--ui-selftest",
                                   u"C:\\t", u"--config", u"C:\\c.json", u"--connect", u"K\u00c4Y 1", u"--status-file",
                                   u"s.json", u"--run-seconds", u"7"});
    EXPECT_TRUE(a.background);
    EXPECT_TRUE(a.nativeUi);
    EXPECT_TRUE(a.demo);
    EXPECT_EQ(a.uiSelftest, u"C:\\t");
    EXPECT_EQ(a.configPath, u"C:\\c.json");
    EXPECT_EQ(a.connectCode, "K\xC3\x84Y 1");
    EXPECT_EQ(a.statusFile, u"s.json");
    EXPECT_EQ(a.runSeconds, 7);

    AppOptions b = parseArguments(
        {u"parlow.exe", u"--BACKGROUND", u"--demo=1", u"--config", u"a", u"--config", u"b", u"--connect"});
    EXPECT_FALSE(b.background);
    EXPECT_FALSE(b.demo);
    EXPECT_EQ(b.configPath, u"b");
    EXPECT_EQ(b.connectCode, "");

    // The program name itself is never a switch.
    EXPECT_FALSE(parseArguments({u"--demo"}).demo);
    EXPECT_FALSE(parseArguments({}).demo);
}

TEST(AppOptionsTest, RunSeconds) {
    struct Case {
        const char16_t* text;
        std::int32_t value;
    } cases[] = {{u"abc", 0},
                 {u"0", 0},
                 {u"5x", 5},
                 {u"  +12", 12},
                 {u"-3", -3},
                 {u"\t42 ", 42},
                 {u"", 0},
                 {u"- 4", 0},
                 {u"99999999999", 2147483647},
                 {u"-99999999999", -2147483648}};
    for (const Case& c : cases) EXPECT_EQ(parseRunSeconds(c.text), c.value);
}

}  // namespace
}  // namespace vornet::app
