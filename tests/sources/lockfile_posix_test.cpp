#include "sources/lockfile_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "core/files.h"
#include "sources/lockfile.h"
#include "tests/support/environment.h"
#include "tests/support/scope_guard.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace vornet {
namespace {

// NUL-terminated entries, as in /proc/<pid>/cmdline and environ.
std::string nulList(std::initializer_list<std::string> items) {
    std::string text;
    for (const auto& item : items) {
        text += item;
        text.push_back('\0');
    }
    return text;
}

// Drive paths into the prefix. Catches a drive letter kept case-sensitive, backslashes left
// in place, and non-drive paths rewritten.
TEST(WinePaths, DrivePathsMapIntoThePrefix) {
    struct Case {
        std::string windows;
        std::string host;
    };
    const Case cases[] = {
        {"C:\\Riot Games\\League of Legends", "/p/drive_c/Riot Games/League of Legends"},
        {"c:/Riot Games/League of Legends/", "/p/drive_c/Riot Games/League of Legends/"},
        {"D:\\Riot Games\\League of Legends", "/p/dosdevices/d:/Riot Games/League of Legends"},
        {"C:", "/p/drive_c"},
        {"C:\\", "/p/drive_c"},
        {"/opt/lol", "/opt/lol"},
        {"C:relative", "C:relative"},
        {"Riot Games", "Riot Games"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windows);
        EXPECT_EQ(windowsPathInPrefix(c.windows, "/p"), c.host);
    }
    EXPECT_EQ(windowsPathInPrefix("C:\\x", ""), "C:\\x");
}

TEST(WinePaths, CandidatesAndLockfileInsideTheWinePrefix) {
    testing::TempFolder prefix;
    testing::ScopedEnvironment wine("WINEPREFIX", prefix.utf8());
    testing::ScopedEnvironment league("LEAGUE_INSTALL_DIR", prefix.utf8() + "/env-dir");
    prefix.write(
        "drive_c/ProgramData/Riot Games/Metadata/league_of_legends.live/"
        "league_of_legends.live.product_settings.yaml",
        "product_install_root: \"C:/Games\"\nproduct_install_full_path: \"C:/Games/LoL\"\n");

    auto dirs = candidateInstallDirs("/configured");
    const std::string p = prefix.utf8();
    // A running client may sit between the environment folder and the settings folder.
    ASSERT_GE(dirs.size(), 6u);
    EXPECT_EQ(dirs[0], "/configured");
    EXPECT_EQ(dirs[1], p + "/env-dir");
    const std::vector<std::string> tail = {p + "/drive_c/Games/LoL", p + "/drive_c/Riot Games/League of Legends",
                                           p + "/dosdevices/d:/Riot Games/League of Legends",
                                           p + "/drive_c/Program Files/Riot Games/League of Legends"};
    EXPECT_EQ(std::vector<std::string>(dirs.end() - 4, dirs.end()), tail);

    // The lockfile of the folder named by the settings file is found, the broken one in the
    // environment's folder is skipped.
    prefix.write("env-dir/lockfile", "LeagueClient:1:2:");
    prefix.write("drive_c/Games/LoL/lockfile", "LeagueClientUx:77:60001:pw:https");
    auto found = findLockfile("");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->port, 60001);
    EXPECT_EQ(found->path, joinPath(p + "/drive_c/Games/LoL", "lockfile"));
}

TEST(WinePaths, NothingFoundWithoutAnyLockfile) {
    testing::TempFolder prefix;
    testing::ScopedEnvironment wine("WINEPREFIX", prefix.utf8());
    testing::ScopedEnvironment league("LEAGUE_INSTALL_DIR", "");
    EXPECT_FALSE(findLockfile(prefix.utf8("empty")).has_value());
}

// A prepared /proc tree. Catches a case-sensitive name test, a wine argument path not mapped
// into the process's prefix, and a scan that does not go in process id order.
TEST(ProcessScan, FindsTheFirstClientInProcessIdOrder) {
    testing::TempFolder proc;
    auto process = [&](const std::string& pid, const std::string& exe, const std::string& cmdline,
                       const std::string& environ) {
        proc.utf8(pid);
        if (!exe.empty()) std::filesystem::create_symlink(exe, proc.utf8() + "/" + pid + "/exe");
        proc.write(pid + "/cmdline", cmdline);
        proc.write(pid + "/environ", environ);
    };
    process("1", "/sbin/init", nulList({"/sbin/init"}), "");
    process("self", "/opt/lol/LeagueClient.exe", "", "");  // not a process id
    process("20", "/usr/bin/wine64-preloader",
            nulList({"C:\\Riot Games\\League of Legends\\LEAGUECLIENTUX.EXE", "--port=1"}),
            nulList({"HOME=/h", "WINEPREFIX=/games/prefix"}));
    process("100", "/opt/native/LeagueClient.exe", "", "");
    EXPECT_EQ(findRunningClientDirIn(proc.utf8(), "/fallback"),
              std::optional<std::string>("/games/prefix/drive_c/Riot Games/League of Legends"));

    testing::TempFolder proc2;
    proc2.utf8("7");
    std::filesystem::create_symlink("/usr/bin/wine64-preloader", proc2.utf8() + "/7/exe");
    proc2.write("7/cmdline", nulList({"D:\\LoL\\leagueclient.exe"}));
    proc2.utf8("9");
    std::filesystem::create_symlink("/opt/native/LeagueClientUx.exe", proc2.utf8() + "/9/exe");
    // Without WINEPREFIX in its environment, the wine process uses the fallback prefix.
    EXPECT_EQ(findRunningClientDirIn(proc2.utf8(), "/fallback"),
              std::optional<std::string>("/fallback/dosdevices/d:/LoL"));

    testing::TempFolder proc3;
    // Without an executable link (a kernel thread, an ended process, another user's process)
    // the first argument is not looked at.
    proc3.utf8("4");
    proc3.write("4/cmdline", nulList({"/opt/lol/LeagueClientUx.exe"}));
    // A process that is not wine's loader is judged by its executable alone.
    proc3.utf8("3");
    std::filesystem::create_symlink("/usr/bin/python3", proc3.utf8() + "/3/exe");
    proc3.write("3/cmdline", nulList({"C:\\Riot Games\\LeagueClientUx.exe"}));
    proc3.utf8("5");
    std::filesystem::create_symlink("/usr/bin/wine64-preloader", proc3.utf8() + "/5/exe");
    proc3.write("5/cmdline", nulList({"LeagueClientUx.exe"}));  // no folder to trust
    proc3.utf8("6");
    std::filesystem::create_symlink("/usr/bin/wine", proc3.utf8() + "/6/exe");
    proc3.write("6/cmdline", nulList({"/usr/bin/LeagueClientUx.exe.bak"}));
    // A name that only ends like the client's is another program.
    proc3.utf8("8");
    std::filesystem::create_symlink("/opt/tools/NotLeagueClient.exe", proc3.utf8() + "/8/exe");
    proc3.utf8("10");
    std::filesystem::create_symlink("/usr/bin/wine", proc3.utf8() + "/10/exe");
    proc3.write("10/cmdline", nulList({"C:\\Tools\\MyLeagueClientUx.exe"}));
    EXPECT_FALSE(findRunningClientDirIn(proc3.utf8(), "/fallback").has_value());
    EXPECT_FALSE(findRunningClientDirIn(proc3.utf8() + "/absent", "/fallback").has_value());
}

// More entries than one read of the folder returns (32 KiB, about 1,400 entries): the client is
// the entry the folder lists last. Catches a scan that stops after the first batch of entries.
TEST(ProcessScan, ManyProcessesTakeSeveralReads) {
    testing::TempFolder proc;
    for (int pid = 100000; pid < 103000; ++pid) proc.utf8(std::to_string(pid));
    std::string last;
    for (const auto& entry : std::filesystem::directory_iterator(proc.utf8())) last = entry.path().filename().string();
    std::filesystem::create_symlink("/opt/late/LeagueClientUx.exe", proc.utf8(last) + "/exe");
    EXPECT_EQ(findRunningClientDirIn(proc.utf8(), "/fallback"), std::optional<std::string>("/opt/late"));
}

// The kernel's threads are skipped by the list of kthreadd's children, but only when pid 2
// is flagged as a kernel thread. Catches a skip that trusts any pid 2 (inside a pid namespace
// it is an ordinary process) and a number cut short at the end of the list read as a pid.
TEST(ProcessScan, KernelThreadsAreSkippedOnlyWhenPidTwoIsOne) {
    struct Case {
        const char* what;
        const char* stat;
        const char* children;
        std::optional<std::string> found;
    };
    // 2129984 has the kernel thread flag (0x00200000) set; 4194560 has not.
    const Case cases[] = {
        {"kernel thread", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0", "3 5 ", "/opt/b"},
        {"name with spaces and parentheses", "2 (a) b (c)) S 0 0 0 0 -1 2129984 0", "3 5 ", "/opt/b"},
        {"ordinary process as pid 2", "2 (bash) S 1 2 2 0 -1 4194560 0 0", "3 5 ", "/opt/a"},
        {"unterminated last number", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0", "5 3", "/opt/a"},
        {"no stat line", "", "3 5 ", "/opt/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::TempFolder proc;
        proc.utf8("2/task/2");
        if (*c.stat != '\0') proc.write("2/stat", c.stat);
        proc.write("2/task/2/children", c.children);
        // Real kernel threads have no executable; these do, so a skipped one shows.
        for (const auto& [pid, exe] : {std::pair<const char*, const char*>{"3", "/opt/a/LeagueClient.exe"},
                                       {"5", "/opt/a/LeagueClient.exe"},
                                       {"9", "/opt/b/LeagueClientUx.exe"}}) {
            proc.utf8(pid);
            std::filesystem::create_symlink(exe, proc.utf8() + "/" + pid + "/exe");
        }
        EXPECT_EQ(findRunningClientDirIn(proc.utf8(), "/fallback"), c.found);
    }
}

// A copy of sleep(1) named like wine's loader, so that a real process shows itself as the
// client does under wine: the loader as its executable, the Windows image as its first argument.
std::string wineLikeSleep(const testing::TempFolder& dir) {
    std::string sleepPath = std::filesystem::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep";
    std::string loader = dir.utf8("bin") + "/wine64-preloader";
    std::filesystem::copy_file(sleepPath, loader, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(loader, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                             std::filesystem::perms::others_exec);
    return loader;
}

TEST(ProcessScan, FindsARealProcessByItsFirstArgument) {
    testing::TempFolder dir;
    const std::string image = dir.utf8("Riot Client") + "/LeagueClientUx.exe";
    std::string sleepPath = wineLikeSleep(dir);
    std::string seconds = "30";
    char* argv[] = {const_cast<char*>(image.c_str()), const_cast<char*>(seconds.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, sleepPath.c_str(), nullptr, nullptr, argv, environ), 0);
    testing::ScopeGuard reaper([pid] {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    });
    // The child's cmdline is readable once exec has happened.
    std::optional<std::string> found;
    for (int attempt = 0; attempt < 100 && !found; ++attempt) {
        found = findRunningClientDir();
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(found, std::optional<std::string>(dir.utf8("Riot Client")));
}

// Runs `search` on another thread and gives it 20 s, far more than a search that does not
// block needs. One that blocks (on a FIFO, say) is a failure, and `release` is then repeated
// until it unblocks, so that the test still ends.
template <typename Search, typename Release>
std::optional<std::string> searchWithin(Search search, Release release, bool& blocked) {
    auto pending = std::async(std::launch::async, search);
    blocked = pending.wait_for(std::chrono::seconds(20)) != std::future_status::ready;
    while (pending.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) release();
    return pending.get();
}

// Opens a FIFO for writing without waiting and closes it again: a reader blocked in its open
// then sees the end of the file.
void releaseFifo(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
}

// Planted files in the place of the lockfile or the product settings. Catches an open that
// follows a link, an open that waits for a FIFO's writer (the collection thread hangs for
// good), a file type other than a regular file being read, and a refused file that ends the
// search instead of passing on to the next candidate.
TEST(PlantedFiles, OnlyARegularFileIsRead) {
    struct Case {
        const char* what;
        bool settings;  // planted as the product settings file rather than as the lockfile
        enum Kind { Fifo, Link, Regular } kind;
        bool planted;  // the planted file is used
    };
    const Case cases[] = {
        {"lockfile FIFO", false, Case::Fifo, false},
        {"lockfile link to a valid lockfile", false, Case::Link, false},
        {"regular lockfile", false, Case::Regular, true},
        {"settings FIFO", true, Case::Fifo, false},
        {"settings link to a valid settings file", true, Case::Link, false},
        {"regular settings file", true, Case::Regular, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::TempFolder prefix;
        testing::ScopedEnvironment wine("WINEPREFIX", prefix.utf8());
        testing::ScopedEnvironment league("LEAGUE_INSTALL_DIR", "");
        const std::string settingsFolder = "drive_c/ProgramData/Riot Games/Metadata/league_of_legends.live";
        const std::string settingsFile = settingsFolder + "/league_of_legends.live.product_settings.yaml";
        // The planted settings name this folder; a valid lockfile waits there.
        prefix.write("drive_c/Planted/lockfile", "LeagueClient:1:2000:planted:https");
        const std::string settingsText = "product_install_full_path: \"C:\\Planted\"\n";
        prefix.write("drive_c/Riot Games/League of Legends/lockfile", "LeagueClient:1:2000:default:https");
        const std::string planted = c.settings
                                        ? prefix.utf8(settingsFolder) + "/league_of_legends.live.product_settings.yaml"
                                        : prefix.utf8("configured") + "/lockfile";
        const std::string elsewhere = c.settings
                                          ? prefix.write("elsewhere.yaml", settingsText)
                                          : prefix.write("elsewhere/lockfile", "LeagueClient:1:2000:planted:https");
        switch (c.kind) {
            case Case::Fifo:
                ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
                break;
            case Case::Link:
                std::filesystem::create_symlink(elsewhere, planted);
                break;
            case Case::Regular:
                if (c.settings)
                    prefix.write(settingsFile, settingsText);
                else
                    prefix.write("configured/lockfile", "LeagueClient:1:2000:planted:https");
                break;
        }
        bool blocked = false;
        auto password = searchWithin(
            [&]() -> std::optional<std::string> {
                auto found = findLockfile(prefix.utf8() + "/configured");
                return found ? std::optional<std::string>(found->password) : std::nullopt;
            },
            [&] { releaseFifo(planted); }, blocked);
        EXPECT_FALSE(blocked) << "the search waited on the planted file";
        EXPECT_EQ(password, std::optional<std::string>(c.planted ? "planted" : "default"));
    }
}

// Waits until the process has exec'd into an image whose first argument is `image`.
bool waitForFirstArgument(pid_t pid, const std::string& image) {
    for (int attempt = 0; attempt < 6000; ++attempt) {
        auto cmdline = readWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline && cmdline->rfind(image + std::string(1, '\0'), 0) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Another user's processes. Catches a scan that takes any user's process named like the
// client, which lets that user choose the folder whose lockfile is read.
TEST(ProcessScan, AnotherUsersClientIsIgnored) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own files and run a process as another user";
    constexpr uid_t kOtherUser = 54321;  // no account needed: only the owner id matters
    // A prepared tree: the same client entry, owned by us or by the other user.
    struct TreeCase {
        const char* what;
        uid_t owner;
        bool found;
    };
    const TreeCase trees[] = {{"own entry", 0, true}, {"other user's entry", kOtherUser, false}};
    for (const auto& c : trees) {
        SCOPED_TRACE(c.what);
        testing::TempFolder proc;
        proc.utf8("42");
        std::filesystem::create_symlink("/opt/other/LeagueClientUx.exe", proc.utf8() + "/42/exe");
        ASSERT_EQ(::lchown(proc.utf8("42").c_str(), c.owner, c.owner), 0);
        EXPECT_EQ(findRunningClientDirIn(proc.utf8(), "/fallback").has_value(), c.found);
    }

    // A real process of the other user, started as the client under wine would show itself.
    testing::TempFolder dir;
    // The other user must reach the program inside the (owner-only) folder.
    ASSERT_EQ(::chmod(dir.utf8().c_str(), 0755), 0);
    const std::string image = dir.utf8("Other User") + "/LeagueClientUx.exe";
    std::string sleepPath = wineLikeSleep(dir);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0) ::_exit(126);
        char* argv[] = {const_cast<char*>(image.c_str()), const_cast<char*>("30"), nullptr};
        ::execv(sleepPath.c_str(), argv);
        ::_exit(127);
    }
    testing::ScopeGuard reaper([pid] {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    });
    ASSERT_TRUE(waitForFirstArgument(pid, image)) << "the other user's process did not start";
    EXPECT_NE(findRunningClientDir(), std::optional<std::string>(dir.utf8("Other User")));
}

}  // namespace
}  // namespace vornet
