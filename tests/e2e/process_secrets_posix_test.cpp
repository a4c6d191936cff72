// What another local user can learn from a running parlow process: its command line, its
// memory (through a core file, or by reading or tracing it while it runs).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace vornet {
namespace {

// A uid no account uses: as root, parlow runs as this user so that the owner of the files in its
// /proc entry tells whether it is dumpable (a process that is not belongs to root there).
constexpr uid_t kOtherUid = 54321;
const char kCode[] = "INVITE-7f3a-SECRET";

std::string readProc(int pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ProcessSecrets, CodeLeavesTheCommandLineAndNoCoreIsWritten) {
    e2e::ScratchDir dir;
    const std::string home = dir.file("home");
    std::filesystem::create_directories(home);
    const std::string config = dir.file("collector.json");
    {
        std::ofstream out(config);
        out << R"({"server":{"url":"http://127.0.0.1:9","allowPlainHttpLoopback":true}})";
    }
    const std::string status = dir.file("status.json");
    const bool root = ::geteuid() == 0;
    const uid_t runAs = root ? kOtherUid : ::geteuid();
    if (root) {
        for (const std::string& path : {dir.utf8(), home, config}) ASSERT_EQ(::chown(path.c_str(), runAs, runAs), 0);
    }
    std::vector<std::string> args;
    if (root) {
        args = {"/usr/bin/setpriv", "--reuid=" + std::to_string(runAs), "--regid=" + std::to_string(runAs),
                "--clear-groups"};
    }
    args.insert(args.end(),
                {PARLOW_BIN, "--config", config, "--connect", kCode, "--status-file", status, "--run-seconds", "30"});
    e2e::ChildProcess parlow(args,
                             {"HOME=" + home, "XDG_DATA_HOME=" + home + "/.local/share",
                              "XDG_RUNTIME_DIR=", "LOCALAPPDATA=", "LEAGUE_INSTALL_DIR=", "VORNET_COLLECTOR_TOKEN="},
                             dir.file("parlow.log"));
    ASSERT_TRUE(parlow.started());
    // The status file is written after start-up, so the command line has been parsed by then.
    ASSERT_TRUE(e2e::waitForJsonFile(status, 15000)) << readProc(parlow.pid(), "cmdline");

    // Each check is one thing another user could otherwise get. Catches the invite code left
    // in the command line, a core-size limit that still lets a crash write the token to disk,
    // and a process that stays dumpable (its memory readable by the user's other processes).
    const std::string cmdline = readProc(parlow.pid(), "cmdline");
    EXPECT_EQ(cmdline.find(kCode), std::string::npos) << "command line still holds the invite code";
    EXPECT_NE(cmdline.find("--connect"), std::string::npos) << "the switch itself stays visible";
    const std::string limits = readProc(parlow.pid(), "limits");
    const std::size_t core = limits.find("Max core file size");
    ASSERT_NE(core, std::string::npos);
    EXPECT_EQ(limits.substr(core, limits.find('\n', core) - core).find_first_not_of("Max corefilesz0 bytes"),
              std::string::npos)
        << limits.substr(core, limits.find('\n', core) - core);
    struct stat info {};
    ASSERT_EQ(::stat(("/proc/" + std::to_string(parlow.pid()) + "/status").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u) << "a dumpable process's /proc files belong to its own user";
    parlow.stop();
}

}  // namespace
}  // namespace vornet
