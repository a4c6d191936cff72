#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "collector/token.h"
#include "core/files.h"
#include "tests/support/environment.h"
#include "tests/support/temp_folder.h"

namespace vornet {
namespace {

using testing::pathOf;
using testing::ScopedEnvironment;
using testing::TempFolder;

class TokenKeyTest : public ::testing::Test {
protected:
    TempFolder home;
    ScopedEnvironment local{"LOCALAPPDATA", home.utf8()};
    ScopedEnvironment environmentToken{"VORNET_COLLECTOR_TOKEN", std::nullopt};
    std::string keyPath() const { return joinPath(tokenFolder(), "collector.key"); }
};

TEST_F(TokenKeyTest, KeyFileIsPrivateAndCreatedOnce) {
    EXPECT_FALSE(fileExists(keyPath()));
    std::string error;
    ASSERT_TRUE(writeToken("pc", "first", error)) << error;
    struct stat info {};
    ASSERT_EQ(::stat(keyPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 32);
    const std::string key = readWholeFile(keyPath()).value();

    ASSERT_TRUE(writeToken("other", "second", error)) << error;
    EXPECT_EQ(readWholeFile(keyPath()).value(), key);
    std::string source;
    EXPECT_EQ(readToken("pc", source, error).value_or("?"), "first");
}

TEST_F(TokenKeyTest, BlobSealedUnderAnotherKeyDoesNotOpen) {
    std::string error;
    ASSERT_TRUE(writeToken("pc", "mine", error)) << error;
    const std::string blob = readWholeFile(tokenFilePath("pc")).value();

    // Another user: another folder with its own key, holding a copy of our blob.
    TempFolder otherHome;
    ScopedEnvironment other("LOCALAPPDATA", otherHome.utf8());
    ASSERT_TRUE(writeToken("unrelated", "theirs", error)) << error;
    ASSERT_TRUE(writeFileAtomically(tokenFilePath("pc"), blob));
    ScopedEnvironment variable("VORNET_COLLECTOR_TOKEN", std::string("env-token"));
    std::string source;
    EXPECT_EQ(readToken("pc", source, error).value_or("?"), "env-token");
    EXPECT_EQ(source, "environment");
    EXPECT_EQ(error,
              "stored token could not be decrypted (created by another Windows user?); re-run --enroll or --set-token");
}

TEST_F(TokenKeyTest, KeyReadableByOthersIsRefused) {
    std::string error;
    ASSERT_TRUE(writeToken("pc", "mine", error)) << error;
    ASSERT_EQ(::chmod(keyPath().c_str(), 0644), 0);
    std::string source;
    EXPECT_FALSE(readToken("pc", source, error).has_value());
    EXPECT_EQ(error.rfind("stored token could not be decrypted", 0), 0u);
    EXPECT_FALSE(writeToken("pc", "again", error));
    EXPECT_EQ(error.rfind("CryptProtectData failed (", 0), 0u) << error;
    EXPECT_EQ(error.back(), ')');
}

TEST_F(TokenKeyTest, MissingKeyMeansUnreadableNotANewKey) {
    std::string error;
    ASSERT_TRUE(writeToken("pc", "mine", error)) << error;
    std::filesystem::remove(pathOf(keyPath()));
    std::string source;
    EXPECT_FALSE(readToken("pc", source, error).has_value());
    EXPECT_FALSE(fileExists(keyPath()));
}

TEST_F(TokenKeyTest, TokenFolderIsOwnerOnly) {
    // Rows: the folder made by the first write, and a folder of ours that others may enter
    // and write (left by an earlier version). Catches a token folder with the default
    // (world-readable) permissions, and an open one that is kept open or makes the token
    // unusable.
    struct Case {
        const char* name;
        mode_t before;  // 0: no folder yet
    };
    const Case cases[] = {{"created", 0}, {"opened by hand", 0777}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder scratch;
        ScopedEnvironment here("LOCALAPPDATA", scratch.utf8());
        std::string error;
        if (c.before != 0) {
            ASSERT_TRUE(writeToken("pc", "mine", error)) << error;
            ASSERT_EQ(::chmod(tokenFolder().c_str(), c.before), 0);
        }
        ASSERT_TRUE(writeToken("pc", "mine", error)) << error;
        std::string source;
        EXPECT_EQ(readToken("pc", source, error).value_or("?"), "mine");
        struct stat info {};
        ASSERT_EQ(::lstat(tokenFolder().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
}

TEST_F(TokenKeyTest, TokenFolderSomeoneElseControlsIsRefused) {
    // Each row prepares the token folder so that someone else could swap the key or the token
    // files. Catches a seal or unseal that trusts such a folder instead of failing.
    struct Case {
        const char* name;
        bool needsRoot;  // chown to another uid needs root
        void (*prepare)(const std::string& folder, const std::string& elsewhere);
    };
    const Case cases[] = {
        {"owned by another user", true,
         [](const std::string& folder, const std::string&) { ASSERT_EQ(::chown(folder.c_str(), 54321, 54321), 0); }},
        {"a link to another folder", false,
         [](const std::string& folder, const std::string& elsewhere) {
             std::filesystem::rename(pathOf(folder), pathOf(elsewhere));
             std::filesystem::create_directory_symlink(pathOf(elsewhere), pathOf(folder));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            std::printf("skipped \"%s\": changing a folder's owner needs root\n", c.name);
            continue;
        }
        TempFolder scratch;
        ScopedEnvironment here("LOCALAPPDATA", scratch.utf8());
        std::string error;
        ASSERT_TRUE(writeToken("pc", "mine", error)) << error;
        c.prepare(tokenFolder(), joinPath(scratch.utf8(), "elsewhere"));
        std::string source;
        EXPECT_FALSE(readToken("pc", source, error).has_value());
        EXPECT_FALSE(writeToken("pc", "again", error));
        EXPECT_EQ(error, "CryptProtectData failed (1)");
    }
}

}  // namespace
}  // namespace vornet
