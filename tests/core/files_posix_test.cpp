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
#include "tests/support/environment.h"

namespace vornet {
namespace {

namespace fs = std::filesystem;

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
        testing::ScopedEnvironment xdg("XDG_DATA_HOME", c.xdg);
        testing::ScopedEnvironment home("HOME", c.home);
        testing::ScopedEnvironment local("LOCALAPPDATA", c.localAppData);
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

// A uid no account uses: files "of another user" are chowned to it when the test runs as root.
constexpr uid_t kOtherUid = 54321;

TEST(FilesPosix, PlantedStagingFileNeverReceivesTheWrite) {
    // Each row plants something under "<path>.tmp" before the atomic replace. Catches a staging
    // file opened through a symlink (the write lands in the link's target), and a pre-created
    // staging file that is reused with its planter's owner and permissions.
    struct Case {
        const char* name;
        bool symlinkToVictim;  // a link to an existing file outside the target
        bool danglingLink;     // a link to a name that does not exist yet
        bool foreignFile;      // a regular file, world-writable, owned by another user when root
    };
    const Case cases[] = {
        {"symlink to another file", true, false, false},
        {"dangling symlink", false, true, false},
        {"pre-created file", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path dir = fs::temp_directory_path() / ("parlow-plant-" + randomHex(6));
        fs::create_directories(dir);
        const std::string path = (dir / "status.json").string();
        const std::string staging = path + ".tmp";
        const fs::path victim = dir / "victim";
        if (c.symlinkToVictim) {
            ASSERT_TRUE(writeFileAtomically(victim.string(), "victim"));
            fs::create_symlink(victim, staging);
        }
        if (c.danglingLink) fs::create_symlink(victim, staging);
        if (c.foreignFile) {
            ASSERT_TRUE(writeFileAtomically(staging, "planted"));
            ASSERT_EQ(::chmod(staging.c_str(), 0666), 0);
            if (geteuid() == 0) ASSERT_EQ(::chown(staging.c_str(), kOtherUid, kOtherUid), 0);
        }

        ASSERT_TRUE(writeFileAtomically(path, "ours"));
        EXPECT_EQ(readWholeFile(path), std::optional<std::string>("ours"));
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_FALSE(fs::exists(fs::symlink_status(staging)));
        if (c.symlinkToVictim) EXPECT_EQ(readWholeFile(victim.string()), std::optional<std::string>("victim"));
        if (c.danglingLink) EXPECT_FALSE(fs::exists(fs::symlink_status(victim)));
        fs::remove_all(dir);
    }
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
