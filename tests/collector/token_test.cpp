#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "collector/token.h"
#include "core/files.h"
#include "core/text.h"

#include <set>
#include "tests/support/environment.h"
#include "tests/support/temp_folder.h"

namespace vornet {
namespace {

using testing::ScopedEnvironment;
using testing::TempFolder;

// Catches a wrong set of kept bytes, a missing or spurious hash suffix, and a hash computed
// over the replaced text instead of the id as given.
TEST(TokenTest, FileNameKeepsSafeBytesAndHashesAnythingAmbiguous) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"collector_1", "collector-collector_1.token"},
        {"PC:1", "collector-PC_1-2d33b251.token"},
        {"gaming:pc", "collector-gaming_pc-27db74cb.token"},
        {"a.b-c_d", "collector-a.b-c_d.token"},
        {"", "collector-.token"},
    };
    for (const auto& [id, name] : cases) {
        SCOPED_TRACE(id);
        EXPECT_EQ(tokenFileName(id), name);
    }
}

TEST(TokenTest, IdsThatWouldShareANameGetDistinctSuffixes) {
    // Each group maps to the same safe text; the suffixes must keep them apart.
    const std::vector<std::vector<std::string>> groups = {
        {"a:b", "a/b", "a b", "a\xc3"},
        {"abc", "Abc", "ABC"},
        {"x\xc3\xa9", "x\xc3\xa8", "x__"},
    };
    for (const auto& group : groups) {
        std::set<std::string> names;
        for (const std::string& id : group) {
            const std::string name = tokenFileName(id);
            EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._"),
                      std::string::npos)
                << name;
            names.insert(asciiLower(name));
        }
        EXPECT_EQ(names.size(), group.size());
    }
    // Replaced bytes and upper-case letters add an eight-digit suffix; plain ids do not.
    EXPECT_EQ(tokenFileName("Abc").size(), std::string("collector-Abc-12345678.token").size());
    EXPECT_EQ(tokenFileName("a b").substr(0, 14), "collector-a_b-");
    EXPECT_EQ(tokenFileName("abc"), "collector-abc.token");
}

class TokenStoreTest : public ::testing::Test {
protected:
    TempFolder home;
    ScopedEnvironment local{"LOCALAPPDATA", home.utf8()};
    ScopedEnvironment environmentToken{"VORNET_COLLECTOR_TOKEN", std::nullopt};
};

TEST_F(TokenStoreTest, PathLivesInTheTokenFolder) {
    EXPECT_EQ(tokenFilePath("PC:1"), joinPath(tokenFolder(), "collector-PC_1-2d33b251.token"));
    EXPECT_EQ(tokenFolder(), joinPath(home.utf8(), "Vornet"));
}

TEST_F(TokenStoreTest, WrittenTokenReadsBackSealedNotPlain) {
    const std::string token = "tok_3f9a.SECRET-value-0123456789";
    std::string error;
    ASSERT_TRUE(writeToken("PC:1", token, error)) << error;
    EXPECT_EQ(error, "");

    std::string source;
    std::optional<std::string> read = readToken("PC:1", source, error);
    ASSERT_TRUE(read.has_value()) << error;
    EXPECT_EQ(*read, token);
    EXPECT_EQ(source, "dpapi");
    EXPECT_EQ(error, "");

    // Nothing under the folder may hold the token in plain text.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path())) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(content.find("SECRET-value"), std::string::npos) << entry.path();
    }
    const std::optional<std::string> blob = readWholeFile(tokenFilePath("PC:1"));
    ASSERT_TRUE(blob.has_value());
    EXPECT_GT(blob->size(), token.size());

    // Sealing twice gives different blobs (fresh randomness), both readable.
    ASSERT_TRUE(writeToken("PC:1", token, error)) << error;
    EXPECT_NE(*readWholeFile(tokenFilePath("PC:1")), *blob);
    EXPECT_EQ(readToken("PC:1", source, error).value_or(""), token);

    // An empty token is a token.
    ASSERT_TRUE(writeToken("empty", "", error)) << error;
    read = readToken("empty", source, error);
    ASSERT_TRUE(read.has_value()) << error;
    EXPECT_EQ(*read, "");
    EXPECT_EQ(source, "dpapi");
}

TEST_F(TokenStoreTest, IdsHaveTheirOwnFiles) {
    std::string error;
    ASSERT_TRUE(writeToken("one", "token-one", error)) << error;
    ASSERT_TRUE(writeToken("ONE", "token-ONE", error)) << error;
    std::string source;
    EXPECT_EQ(readToken("one", source, error).value_or("?"), "token-one");
    EXPECT_EQ(readToken("ONE", source, error).value_or("?"), "token-ONE");
}

enum class Stored { None, Good, Broken };

struct SourceCase {
    const char* label;
    Stored stored;
    std::optional<std::string> environment;
    std::optional<std::string> token;
    std::string source;
    std::string error;
};

// Catches a wrong source order (the environment must never win over a readable file), an
// empty variable taken as a token, and a lost or overwritten "could not be decrypted" text.
TEST_F(TokenStoreTest, SourcesAreTriedInOrderWithTheirMessages) {
    const std::string undecryptable =
        "stored token could not be decrypted (created by another Windows user?); re-run --enroll or --set-token";
    const std::string none = "no ingestion token: run with --enroll <code> or --set-token";
    const std::vector<SourceCase> cases = {
        {"nothing", Stored::None, std::nullopt, std::nullopt, "", none},
        {"empty variable", Stored::None, "", std::nullopt, "", none},
        {"variable only", Stored::None, "env-token", "env-token", "environment", ""},
        {"file wins", Stored::Good, "env-token", "file-token", "dpapi", ""},
        {"file only", Stored::Good, std::nullopt, "file-token", "dpapi", ""},
        {"broken file, variable", Stored::Broken, "env-token", "env-token", "environment", undecryptable},
        {"broken file, empty variable", Stored::Broken, "", std::nullopt, "", undecryptable},
        {"broken file alone", Stored::Broken, std::nullopt, std::nullopt, "", undecryptable},
    };
    for (const SourceCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::error_code ignored;
        std::filesystem::remove(testing::pathOf(tokenFilePath("pc-7")), ignored);
        std::string error;
        if (c.stored != Stored::None) {
            ASSERT_TRUE(writeToken("pc-7", "file-token", error)) << error;
        }
        if (c.stored == Stored::Broken) {
            std::string blob = readWholeFile(tokenFilePath("pc-7")).value();
            blob[blob.size() / 2] = static_cast<char>(blob[blob.size() / 2] ^ 0x5a);
            ASSERT_TRUE(writeFileAtomically(tokenFilePath("pc-7"), blob));
        }
        ScopedEnvironment variable("VORNET_COLLECTOR_TOKEN", c.environment);
        std::string source = "stale";
        error = "stale";
        const std::optional<std::string> token = readToken("pc-7", source, error);
        EXPECT_EQ(token, c.token);
        EXPECT_EQ(source, c.source);
        EXPECT_EQ(error, c.error);
    }
}

TEST_F(TokenStoreTest, TruncatedOrForeignBlobsDoNotOpen) {
    std::string error;
    ASSERT_TRUE(writeToken("pc", "file-token", error)) << error;
    const std::string blob = readWholeFile(tokenFilePath("pc")).value();
    const std::vector<std::string> damaged = {"", blob.substr(0, 3), blob.substr(0, blob.size() - 1),
                                              std::string(blob.size(), '\0'), "file-token"};
    for (const std::string& bytes : damaged) {
        ASSERT_TRUE(writeFileAtomically(tokenFilePath("pc"), bytes));
        std::string source;
        EXPECT_FALSE(readToken("pc", source, error).has_value());
        EXPECT_EQ(error.rfind("stored token could not be decrypted", 0), 0u) << error;
    }
}

TEST_F(TokenStoreTest, UnwritableFileIsReported) {
    // A folder where the token file belongs cannot be replaced by a file.
    std::filesystem::create_directories(testing::pathOf(tokenFilePath("pc")));
    std::string error;
    EXPECT_FALSE(writeToken("pc", "secret-token", error));
    EXPECT_EQ(error, "cannot write " + tokenFilePath("pc"));
    EXPECT_EQ(error.find("secret-token"), std::string::npos);
}

}  // namespace
}  // namespace vornet
