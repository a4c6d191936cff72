#include "core/files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/files_platform.h"
#include "core/text.h"

namespace vornet {
namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path fsPath(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

// A fresh folder per test, removed afterwards.
class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        root_ = fs::temp_directory_path() / ("parlow-files-" + randomHex(6) + "-" + std::to_string(counter++));
        fs::create_directories(root_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string at(const std::string& name) const { return joinPath(utf8(root_), name); }

    fs::path root_;
};

TEST_F(FilesTest, WriteThenReadGivesTheExactBytesAndLeavesNoTemporary) {
    // Catches newline translation, a lost NUL, truncation at a chunk edge and a left-over .tmp.
    const std::vector<std::string> contents = {
        "",
        "a",
        std::string("nul\0inside\r\nand\n", 17),
        std::string(8192, 'x'),
        std::string(8193, 'y'),
        std::string(3 * 8192 + 5, '\xff'),
    };
    for (std::size_t i = 0; i < contents.size(); ++i) {
        SCOPED_TRACE(i);
        std::string path = at("file" + std::to_string(i) + ".json");
        ASSERT_TRUE(writeFileAtomically(path, contents[i]));
        auto read = readWholeFile(path);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(*read, contents[i]);
        EXPECT_FALSE(fileExists(path + ".tmp"));
    }
}

TEST_F(FilesTest, WriteReplacesAnExistingFileWhole) {
    std::string path = at("state.json");
    ASSERT_TRUE(writeFileAtomically(path, std::string(20000, 'o')));
    ASSERT_TRUE(writeFileAtomically(path, "new"));
    EXPECT_EQ(readWholeFile(path), std::optional<std::string>("new"));
    EXPECT_FALSE(fileExists(path + ".tmp"));
}

TEST_F(FilesTest, WriteCreatesMissingFoldersAndHandlesNonAsciiNames) {
    std::string path = joinPath(joinPath(joinPath(at("a"), "b\xc3\xab"), "c"), "zo\xc3\xab-\xe6\x95\xb0.json");
    ASSERT_TRUE(writeFileAtomically(path, "{}"));
    EXPECT_TRUE(fs::is_directory(root_ / "a" / fsPath("b\xc3\xab") / "c"));
    EXPECT_TRUE(fileExists(path));
    EXPECT_EQ(readWholeFile(path), std::optional<std::string>("{}"));
    // Separators doubled or trailing on the folder part must not matter.
    std::string doubled = at("x") + "//y//z.json";
    ASSERT_TRUE(writeFileAtomically(doubled, "1"));
    EXPECT_EQ(readWholeFile(joinPath(joinPath(at("x"), "y"), "z.json")), std::optional<std::string>("1"));
}

TEST_F(FilesTest, ReadMissingEmptyAndFolder) {
    EXPECT_FALSE(readWholeFile(at("missing.json")).has_value());
    EXPECT_FALSE(readWholeFile(joinPath(at("missing"), "x.json")).has_value());
    EXPECT_FALSE(readWholeFile("").has_value());
    // A folder is not a file with empty content.
    EXPECT_FALSE(readWholeFile(utf8(root_)).has_value());
    std::ofstream(root_ / "empty").close();
    auto empty = readWholeFile(at("empty"));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(*empty, "");
}

TEST_F(FilesTest, ReadStopsAtTheFirstChunkPastTheCeiling) {
    const std::size_t size = 70u * 1024 * 1024;
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 8192) & 0xff);
    {
        std::ofstream out(root_ / "big.bin", std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        ASSERT_TRUE(out.good());
    }
    auto read = readWholeFile(at("big.bin"));
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(read->size(), kReadWholeFileLimit + files_detail::kReadChunkSize);
    EXPECT_TRUE(std::string_view(content).substr(0, read->size()) == *read);
}

// Feeds scripted read results: sizes > 0 deliver that many bytes, 0 is end of file, -1 fails;
// past the script it keeps delivering `tail` bytes forever (a file that keeps growing).
class ScriptedReader final : public files_detail::ChunkReader {
public:
    ScriptedReader(std::vector<std::ptrdiff_t> script, std::ptrdiff_t tail) : script_(std::move(script)), tail_(tail) {}
    std::ptrdiff_t read(char* buffer, std::size_t capacity) override {
        ++calls;
        std::ptrdiff_t n = next_ < script_.size() ? script_[next_++] : tail_;
        if (n <= 0) return n;
        n = std::min<std::ptrdiff_t>(n, static_cast<std::ptrdiff_t>(capacity));
        // The alphabet once, then filler: cheap enough for 64 MiB of small reads.
        std::ptrdiff_t i = 0;
        for (; i < n && produced_ < 26; ++i) buffer[i] = static_cast<char>('a' + produced_++);
        std::memset(buffer + i, '.', static_cast<std::size_t>(n - i));
        return n;
    }
    int calls = 0;

private:
    std::vector<std::ptrdiff_t> script_;
    std::size_t next_ = 0;
    std::ptrdiff_t tail_;
    std::size_t produced_ = 0;
};

TEST(ReadChunks, StopsAtEndFailureOrCeiling) {
    // Catches reading past a failure, treating a short read as the end, asking for more than a
    // chunk at a time, and a loop that never ends on a growing file.
    struct Case {
        const char* name;
        std::vector<std::ptrdiff_t> script;
        std::ptrdiff_t tail;
        std::size_t expectedSize;
    };
    const std::vector<Case> cases = {
        {"end at once", {0}, 0, 0},
        {"failure at once", {-1}, 0, 0},
        {"short reads then end", {10, 1, 8192, 0}, 0, 8203},
        {"failure keeps what was read", {8192, 100, -1, 50}, 50, 8292},
        {"oversized request is capped to one chunk", {100000, 0}, 0, 8192},
        {"growing file with small reads", {}, 1000, (kReadWholeFileLimit / 1000 + 1) * 1000},
        {"growing file with full chunks", {}, 8192, kReadWholeFileLimit + 8192},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedReader reader(c.script, c.tail);
        std::string content = files_detail::readChunks(reader);
        EXPECT_EQ(content.size(), c.expectedSize);
        if (!content.empty()) {
            EXPECT_EQ(content.substr(0, 3), "abc");
        }
    }
}

TEST_F(FilesTest, TemporaryThatCannotBeCreatedLeavesTheOldFileIntact) {
    std::string path = at("collector.json");
    ASSERT_TRUE(writeFileAtomically(path, "old"));
    // A folder where the temporary file would go: creating it fails for every user, root too.
    fs::create_directory(fsPath(path + ".tmp"));
    EXPECT_FALSE(writeFileAtomically(path, "new"));
    EXPECT_EQ(readWholeFile(path), std::optional<std::string>("old"));
}

TEST_F(FilesTest, FailedMoveRemovesTheTemporaryAndLeavesTheTarget) {
    // The target is a folder that is not empty: the move must fail.
    std::string path = at("occupied");
    fs::create_directories(fsPath(path) / "inside");
    EXPECT_FALSE(writeFileAtomically(path, "data"));
    EXPECT_TRUE(fs::is_directory(fsPath(path) / "inside"));
    EXPECT_FALSE(fileExists(path + ".tmp"));
}

TEST_F(FilesTest, WriteBelowARegularFileFails) {
    std::string blocker = at("plain");
    ASSERT_TRUE(writeFileAtomically(blocker, "x"));
    EXPECT_FALSE(writeFileAtomically(joinPath(joinPath(blocker, "sub"), "f.json"), "data"));
    EXPECT_EQ(readWholeFile(blocker), std::optional<std::string>("x"));
}

TEST_F(FilesTest, FileExistsForFilesFoldersAndAbsence) {
    // Catches a folder reported as absent, and a missing parent (or a file used as a folder)
    // treated as an error rather than as absence.
    ASSERT_TRUE(writeFileAtomically(at("f"), "1"));
    struct Case {
        std::string path;
        bool exists;
    };
    const std::vector<Case> cases = {
        {at("f"), true},
        {utf8(root_), true},
        {at("nothing"), false},
        {joinPath(at("nothing"), "deeper"), false},
        {joinPath(at("f"), "below-a-file"), false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(fileExists(c.path), c.exists);
    }
}

TEST(JoinPath, KeepsAnExistingTrailingSeparatorAndRefusesAnUnknownFolder) {
    std::string sep(1, files_detail::preferredSeparator());
    EXPECT_EQ(joinPath("base", "name"), "base" + sep + "name");
    EXPECT_EQ(joinPath("base/", "name"), "base/name");
    EXPECT_EQ(joinPath("base" + sep, "name"), "base" + sep + "name");
    // No folder known: the result must not be a path in the root or working folder.
    EXPECT_EQ(joinPath("", "collector.json"), "");
}

TEST(UserFolders, AreAbsoluteAndNamedForTheirContents) {
    std::string app = appDataFolder();
    std::string token = tokenFolder();
    std::string sep(1, files_detail::preferredSeparator());
    ASSERT_FALSE(app.empty());
    ASSERT_FALSE(token.empty());
    EXPECT_TRUE(app.ends_with(sep + "Parlow")) << app;
    EXPECT_TRUE(token.ends_with(sep + "Vornet")) << token;
    EXPECT_TRUE(fsPath(app).is_absolute()) << app;
    EXPECT_TRUE(fsPath(token).is_absolute()) << token;
}

}  // namespace
}  // namespace vornet
