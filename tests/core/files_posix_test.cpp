#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/files_platform.h"
#include "core/text.h"

namespace vornet {
namespace {

namespace fs = std::filesystem;

// Sets or unsets environment variables for one scope and restores them afterwards.
class EnvOverride {
public:
    EnvOverride(const char* name, std::optional<std::string> value) : name_(name), saved_(getEnv(name)) {
        apply(value);
    }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;
    ~EnvOverride() { apply(saved_); }

private:
    void apply(const std::optional<std::string>& value) {
        if (value)
            setenv(name_, value->c_str(), 1);
        else
            unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> saved_;
};

std::string passwordHome() {
    passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

TEST(FilesPosix, JoinUsesSlashOnly) {
    // A backslash is an ordinary name byte here, not a separator.
    EXPECT_EQ(joinPath("/a", "b"), "/a/b");
    EXPECT_EQ(joinPath("/a/", "b"), "/a/b");
    EXPECT_EQ(joinPath("/a\\", "b"), "/a\\/b");
    EXPECT_EQ(joinPath("/", "b"), "/b");
}

TEST(FilesPosix, UserFoldersFollowXdgHomeAndLocalAppData) {
    // Catches the working folder used for a relative or empty variable, LOCALAPPDATA leaking
    // into the application folder, and a missing fallback to the password database.
    const std::string pwHome = passwordHome();
    ASSERT_FALSE(pwHome.empty());
    const std::string pwShare = (pwHome.ends_with('/') ? pwHome : pwHome + "/") + ".local/share";
    using Env = std::optional<std::string>;
    struct Case {
        const char* name;
        Env xdg, home, localAppData;
        std::string app, token;
    };
    const std::vector<Case> cases = {
        {"xdg", "/x/data", "/h", std::nullopt, "/x/data/Parlow", "/x/data/Vornet"},
        {"xdg with slash", "/x/data/", "/h", std::nullopt, "/x/data/Parlow", "/x/data/Vornet"},
        {"home", std::nullopt, "/h", std::nullopt, "/h/.local/share/Parlow", "/h/.local/share/Vornet"},
        {"empty xdg", "", "/h", std::nullopt, "/h/.local/share/Parlow", "/h/.local/share/Vornet"},
        {"relative xdg", "rel/data", "/h", std::nullopt, "/h/.local/share/Parlow", "/h/.local/share/Vornet"},
        {"localappdata", "/x/data", "/h", "/w/Local", "/x/data/Parlow", "/w/Local/Vornet"},
        {"empty localappdata", "/x/data", "/h", "", "/x/data/Parlow", "/x/data/Vornet"},
        {"relative localappdata", std::nullopt, "/h", "Local", "/h/.local/share/Parlow", "/h/.local/share/Vornet"},
        {"no home", std::nullopt, std::nullopt, std::nullopt, pwShare + "/Parlow", pwShare + "/Vornet"},
        {"relative home", std::nullopt, "h", std::nullopt, pwShare + "/Parlow", pwShare + "/Vornet"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EnvOverride xdg("XDG_DATA_HOME", c.xdg);
        EnvOverride home("HOME", c.home);
        EnvOverride local("LOCALAPPDATA", c.localAppData);
        EXPECT_EQ(appDataFolder(), c.app);
        EXPECT_EQ(tokenFolder(), c.token);
    }
}

TEST(FilesPosix, FileExistsRaisesForFailuresOtherThanAbsence) {
    fs::path dir = fs::temp_directory_path() / ("parlow-exists-" + randomHex(6));
    fs::create_directories(dir);
    fs::create_symlink(dir / "b", dir / "a");
    fs::create_symlink(dir / "a", dir / "b");
    struct Case {
        std::string path;
        int code;
    };
    const std::vector<Case> cases = {
        {(dir / "a").string(), ELOOP},
        {(dir / std::string(300, 'n')).string(), ENAMETOOLONG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            fileExists(c.path);
            ADD_FAILURE() << "no exception";
        } catch (const fs::filesystem_error& error) {
            EXPECT_NE(std::string(error.what()).find("exists"), std::string::npos) << error.what();
            EXPECT_EQ(error.code().value(), c.code);
            EXPECT_EQ(error.path1().string(), c.path);
        }
    }
    fs::remove_all(dir);
}

TEST(FilesPosix, WrittenFilesAreReadableByTheOwnerOnly) {
    fs::path dir = fs::temp_directory_path() / ("parlow-mode-" + randomHex(6));
    std::string path = (dir / "token.bin").string();
    ASSERT_TRUE(writeFileAtomically(path, "secret"));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    fs::remove_all(dir);
}

// MoveFileExW refuses to replace a file that another handle holds open under wine 8 (and on
// Windows without POSIX rename semantics), even with delete sharing: POSIX only.
TEST(FilesPosix, AnOpenReaderDoesNotBlockTheReplaceAndKeepsTheOldContent) {
    fs::path dir = fs::temp_directory_path() / ("parlow-shared-" + randomHex(6));
    std::string path = (dir / "shared.json").string();
    std::string old(3 * 8192, 'o');
    ASSERT_TRUE(writeFileAtomically(path, old));
    auto reader = files_detail::openForReading(path);
    ASSERT_NE(reader, nullptr);
    char first[16];
    ASSERT_EQ(reader->read(first, sizeof first), 16);
    ASSERT_TRUE(writeFileAtomically(path, "new"));
    // The reader still sees the file it opened, never a mixture.
    std::string rest = files_detail::readChunks(*reader);
    EXPECT_EQ(rest, old.substr(16));
    EXPECT_EQ(readWholeFile(path), std::optional<std::string>("new"));
    reader.reset();
    fs::remove_all(dir);
}

TEST(FilesPosix, ReadOnlyFolderKeepsTheOldFile) {
    if (geteuid() == 0) GTEST_SKIP() << "root ignores permission bits; the .tmp-folder case covers this path";
    fs::path dir = fs::temp_directory_path() / ("parlow-ro-" + randomHex(6));
    std::string path = (dir / "collector.json").string();
    ASSERT_TRUE(writeFileAtomically(path, "old"));
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(writeFileAtomically(path, "new"));
    EXPECT_EQ(readWholeFile(path), std::optional<std::string>("old"));
    fs::permissions(dir, fs::perms::owner_all);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vornet
