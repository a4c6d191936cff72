#include "sources/lockfile.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/files.h"
#include "tests/support/temp_folder.h"

namespace vornet {
namespace {

// Field splitting, number conversion and range rules of the lockfile. Catches a split that
// drops empty fields, numbers read past their digits or wrapped into range, and a port or
// password check on the wrong side of its limit.
TEST(ParseLockfile, FieldsAndRanges) {
    struct Case {
        std::string content;
        bool valid = false;
        std::string name = {};
        std::uint32_t pid = 0;
        std::int32_t port = 0;
        std::string password = {};
        std::string protocol = {};
    };
    const Case cases[] = {
        {"LeagueClient:1234:54321:s3cr3t:https\n", true, "LeagueClient", 1234, 54321, "s3cr3t", "https"},
        {"LeagueClient:1234:54321:s3cr3t:https", true, "LeagueClient", 1234, 54321, "s3cr3t", "https"},
        {" \t\r\nLeagueClient:1:65535:p:https\r\n", true, "LeagueClient", 1, 65535, "p", "https"},
        {"X:1:1:p:", true, "X", 1, 1, "p", ""},
        {":1:1:p:https", true, "", 1, 1, "p", "https"},
        {"X:1:0:p:https", false},
        {"X:1:65536:p:https", false},
        {"X:1:-1:p:https", false},
        {"X:1:99999999999999999999999:p:https", false},
        {"X:1:2999:p", false},
        {"X:1:2999::https", false},
        {"X:abc:2999:p:https", false},
        {"X::2999:p:https", false},
        {"X:1:port:p:https", false},
        {"X:4294967295:2999:p:https", true, "X", 4294967295u, 2999, "p", "https"},
        {"X:4294967296:2999:p:https", false},
        {"X:-1:2999:p:https", false},
        // Leading white space and a sign are accepted; the number ends at the first non-digit.
        {"X: +12abc: 80x:p:https", true, "X", 12, 80, "p", "https"},
        {"X:7:+443:p:https:extra:fields", true, "X", 7, 443, "p", "https"},
        // A ':' inside the password cuts it; the rest moves into the following fields.
        {"X:7:443:pa:ss:https", true, "X", 7, 443, "pa", "ss"},
        {"", false},
        {"::::", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        auto parsed = parseLockfile(c.content);
        ASSERT_EQ(parsed.has_value(), c.valid);
        if (!parsed) continue;
        EXPECT_EQ(parsed->name, c.name);
        EXPECT_EQ(parsed->pid, c.pid);
        EXPECT_EQ(parsed->port, c.port);
        EXPECT_EQ(parsed->password, c.password);
        EXPECT_EQ(parsed->protocol, c.protocol);
        EXPECT_TRUE(parsed->path.empty());
    }
}

TEST(ParseLockfile, FingerprintCoversTheUntrimmedContent) {
    // Reference values of 64-bit FNV-1a computed independently of this code.
    auto bare = parseLockfile("LeagueClient:1234:54321:s3cr3t:https");
    auto withNewline = parseLockfile("LeagueClient:1234:54321:s3cr3t:https\n");
    ASSERT_TRUE(bare && withNewline);
    EXPECT_EQ(bare->fingerprint, "12769635779346057311");
    EXPECT_EQ(withNewline->fingerprint, "3062533426150697071");
    EXPECT_EQ(parseLockfile("LeagueClient:1234:54321:s3cr3t:https")->fingerprint, bare->fingerprint);
    EXPECT_NE(parseLockfile("LeagueClient:1234:54321:s3cr3u:https")->fingerprint, bare->fingerprint);
}

// The install path key and its value. Catches a search anchored to line starts, quotes
// removed when they do not match, escapes processed, and empty values accepted.
TEST(ParseProductInstallPath, KeyAndValueRules) {
    struct Case {
        std::string content;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"product_install_full_path: \"C:/Riot Games/League of Legends\"\n", "C:/Riot Games/League of Legends"},
        {"product_install_full_path: 'D:\\Games\\LoL'\r\nother: 1\n", "D:\\Games\\LoL"},
        {"a: 1\nproduct_install_root: x\n  product_install_full_path:\tE:/LoL \t\r\n", "E:/LoL"},
        {"xxproduct_install_full_path: /opt/lol", "/opt/lol"},
        {"product_install_full_path: \"C:/a\"\nproduct_install_full_path: \"C:/b\"\n", "C:/a"},
        {"product_install_full_path: \"C:/mixed'\n", "\"C:/mixed'"},
        {"product_install_full_path: \"\\n\\t\"\n", "\\n\\t"},
        {"product_install_full_path: \"\n", "\""},
        {"product_install_full_path: \"\"\n", std::nullopt},
        {"product_install_full_path:   \r\nnext: \"C:/x\"\n", std::nullopt},
        {"product_install_full_path:", std::nullopt},
        {"product_install_full_pat", std::nullopt},
        {"PRODUCT_INSTALL_FULL_PATH: C:/x", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        EXPECT_EQ(parseProductInstallPath(c.content), c.path);
    }
}

// Path equality of candidate folders. Catches case folding, separator kinds treated as
// different, and doubled or trailing separators making duplicates.
TEST(CandidateDirs, PathEquality) {
    struct Case {
        std::string a;
        std::string b;
        bool same;
    };
    const Case cases[] = {
        {"C:\\Riot Games\\League of Legends", "C:/Riot Games/League of Legends", true},
        {"C:\\Riot Games\\\\League of Legends\\", "C:\\Riot Games\\League of Legends", true},
        {"/opt//lol/", "/opt/lol", true},
        {"C:\\Riot Games\\League of Legends", "c:\\riot games\\league of legends", false},
        {"/opt/lol", "opt/lol", false},
        {"/opt/lol", "/opt/lol2", false},
        {"/opt/lol", "/opt/lol/x", false},
        {"/opt/lol/x", "/opt/lol", false},
        {"", "", true},
        {"/", "\\\\", true},
        {"/", "", false},
        {"lol", "lol/", true},
        {"a/bc", "ab/c", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a + " vs " + c.b);
        EXPECT_EQ(samePath(c.a, c.b), c.same);
        EXPECT_EQ(samePath(c.b, c.a), c.same);
    }
    std::vector<std::string> dirs;
    appendCandidate(dirs, "C:\\Riot Games\\League of Legends");
    appendCandidate(dirs, "");
    appendCandidate(dirs, "C:/Riot Games/League of Legends/");
    appendCandidate(dirs, "c:\\riot games\\league of legends");
    EXPECT_EQ(dirs,
              (std::vector<std::string>{"C:\\Riot Games\\League of Legends", "c:\\riot games\\league of legends"}));
}

TEST(CandidateDirs, ConfiguredFolderComesFirstAndOnlyOnce) {
    const auto defaults = defaultInstallDirs();
    ASSERT_EQ(defaults.size(), 3u);
    std::string configured = defaults[0];
    // The same folder written with the other separator kind and a trailing separator.
    std::replace(configured.begin(), configured.end(), '\\', '#');
    std::replace(configured.begin(), configured.end(), '/', '\\');
    std::replace(configured.begin(), configured.end(), '#', '/');
    configured += "/";
    auto dirs = candidateInstallDirs(configured);
    ASSERT_FALSE(dirs.empty());
    EXPECT_EQ(dirs.front(), configured);
    EXPECT_EQ(std::count_if(dirs.begin(), dirs.end(), [&](const std::string& d) { return samePath(d, defaults[0]); }),
              1);
    // The fixed defaults close the list, in their order.
    ASSERT_GE(dirs.size(), 3u);
    EXPECT_TRUE(samePath(dirs[dirs.size() - 2], defaults[1]));
    EXPECT_TRUE(samePath(dirs[dirs.size() - 1], defaults[2]));
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        for (std::size_t j = i + 1; j < dirs.size(); ++j) EXPECT_FALSE(samePath(dirs[i], dirs[j])) << dirs[i];
    }
}

TEST(FindLockfile, TakesTheFirstValidLockfileInCandidateOrder) {
    testing::TempFolder root;
    const std::string missing = root.utf8() + "/missing";
    const std::string empty = root.utf8("empty");
    const std::string broken = root.utf8("broken");
    root.write("broken/lockfile", "LeagueClient:1234:0:pw:https");
    const std::string good = root.utf8("good");
    root.write("good/lockfile", "LeagueClient:1234:54321:pw:https\n");
    const std::string later = root.utf8("later");
    root.write("later/lockfile", "LeagueClient:99:1000:other:https");
    const std::string folderNamedLockfile = root.utf8("odd");
    root.utf8("odd/lockfile");

    auto found = findLockfileIn({missing, empty, folderNamedLockfile, broken, good, later});
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->port, 54321);
    EXPECT_EQ(found->password, "pw");
    EXPECT_EQ(found->path, joinPath(good, "lockfile"));
    EXPECT_EQ(found->fingerprint, parseLockfile("LeagueClient:1234:54321:pw:https\n")->fingerprint);

    EXPECT_FALSE(findLockfileIn({missing, empty, broken}).has_value());
    EXPECT_FALSE(findLockfileIn({}).has_value());

    // Through the full candidate list, the configured folder wins.
    auto configured = findLockfile(later);
    ASSERT_TRUE(configured.has_value());
    EXPECT_EQ(configured->password, "other");
    EXPECT_EQ(configured->path, joinPath(later, "lockfile"));
}

TEST(FindLockfile, ARewrittenFileGetsANewFingerprint) {
    testing::TempFolder root;
    const std::string dir = root.utf8("client");
    root.write("client/lockfile", "LeagueClient:1:2000:first:https");
    auto first = findLockfileIn({dir});
    auto again = findLockfileIn({dir});
    root.write("client/lockfile", "LeagueClient:1:2000:second:https");
    auto second = findLockfileIn({dir});
    ASSERT_TRUE(first && again && second);
    EXPECT_EQ(first->fingerprint, again->fingerprint);
    EXPECT_NE(first->fingerprint, second->fingerprint);
}

// Lockfiles of every size around the read limit. Catches a lockfile read whole whatever its
// size (a huge planted file of separators then costs gigabytes), an off-by-one at the limit,
// and a refused file that stops the search instead of passing to the next candidate.
TEST(FindLockfile, AFileLongerThanTheLimitIsRefused) {
    const std::string valid = "LeagueClient:1234:54321:pw:https";
    struct Case {
        const char* what;
        std::string content;
        bool accepted;
    };
    const Case cases[] = {
        {"short", valid, true},
        {"padded to the limit", valid + std::string(kLockfileReadLimit - valid.size(), ' '), true},
        {"one byte over", valid + std::string(kLockfileReadLimit - valid.size() + 1, ' '), false},
        {"a megabyte of separators", valid + std::string(1 << 20, ':'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::TempFolder root;
        const std::string planted = root.utf8("planted");
        root.write("planted/lockfile", c.content);
        const std::string fallback = root.utf8("fallback");
        root.write("fallback/lockfile", "LeagueClient:1:2000:fallback:https");
        auto found = findLockfileIn({planted, fallback});
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->password, c.accepted ? "pw" : "fallback");
    }
}

}  // namespace
}  // namespace vornet
