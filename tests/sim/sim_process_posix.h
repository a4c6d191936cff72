// Starts a simulator as a real child process for a test and stops it (SIGTERM, then SIGKILL)
// when the guard goes out of scope.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "sim/common/sim_util.h"

namespace vornet::sim::test {

class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // Sends SIGTERM and waits up to `ms`; returns the exit status, or nothing when the child
    // had to be killed.
    std::optional<int> stop(int ms = 5000) {
        if (pid_ <= 0) return exitStatus_;
        kill(pid_, SIGTERM);
        return waitExit(ms, true);
    }
    // Waits up to `ms` for the child to end on its own.
    std::optional<int> waitExit(int ms, bool killAfter = false) {
        if (pid_ <= 0) return exitStatus_;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitStatus_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (killAfter) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

// A fresh folder under the system's temporary folder, removed with the guard.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "parlow-sim-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Waits until `file` holds a JSON object (the simulators write their state file once ready).
inline std::optional<JsonValue> waitForJsonFile(const std::string& file, int ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text;
        if (readFile(file, text))
            if (auto value = parseJson(text); value && value->isObject()) return value;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

}  // namespace vornet::sim::test
