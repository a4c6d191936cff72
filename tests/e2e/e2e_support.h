// The pieces of an end-to-end run: child processes with their own environment, a scratch
// folder that stands in for the user's home, the two simulators, the headless collector, and
// polling helpers over their state files and control endpoints.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/json.h"
#include "sim/common/loopback_client.h"
#include "sim/common/sim_util.h"

namespace vornet::e2e {

// A child process; SIGTERM then SIGKILL when the guard ends. `env` entries replace or add
// variables ("NAME=value"); "NAME=" with nothing after it removes one.
class Process {
public:
    Process(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& logFile = {}) {
        pid_ = fork();
        if (pid_ == 0) {
            for (const std::string& e : env) {
                std::size_t eq = e.find('=');
                std::string name = e.substr(0, eq);
                std::string value = eq == std::string::npos ? std::string() : e.substr(eq + 1);
                if (value.empty())
                    unsetenv(name.c_str());
                else
                    setenv(name.c_str(), value.c_str(), 1);
            }
            if (!logFile.empty()) {
                FILE* log = std::freopen(logFile.c_str(), "a", stdout);
                if (log != nullptr) dup2(fileno(stdout), STDERR_FILENO);
            }
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Process() { stop(2000); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0 || exitStatus_.has_value(); }
    int pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0) return false;
        return !waitExit(0).has_value();
    }
    void signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }
    // Sends `sig` and waits up to `ms`; SIGKILL after that. The exit status, or nothing when
    // the child had to be killed.
    std::optional<int> stop(int ms = 5000, int sig = SIGTERM) {
        if (pid_ <= 0) return exitStatus_;
        kill(pid_, sig);
        return waitExit(ms, true);
    }
    std::optional<int> waitExit(int ms, bool killAfter = false) {
        if (pid_ <= 0) return exitStatus_;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int status = 0;
        for (;;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitStatus_;
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
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

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "parlow-e2e-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty() && std::getenv("PARLOW_E2E_KEEP") == nullptr) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Polls `ready` every 50 ms until it holds or `ms` passed.
inline bool waitUntil(const std::function<bool()>& ready, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

inline std::optional<JsonValue> readJsonFile(const std::string& file) {
    std::string text;
    if (!sim::readFile(file, text)) return std::nullopt;
    std::optional<JsonValue> value = parseJson(text);
    if (!value || !value->isObject()) return std::nullopt;
    return value;
}

inline std::optional<JsonValue> waitForJsonFile(const std::string& file, int ms = 10000) {
    std::optional<JsonValue> value;
    waitUntil([&] { return (value = readJsonFile(file)).has_value(); }, ms);
    return value;
}

// One plain HTTP exchange with a simulator on 127.0.0.1.
inline std::optional<JsonValue> httpJson(const std::string& method, int port, const std::string& target) {
    sim::FetchRequest request;
    request.method = method;
    request.port = static_cast<std::uint16_t>(port);
    request.target = target;
    request.timeoutMs = 3000;
    sim::FetchResult result = sim::fetch(request);
    if (result.status != 200) return std::nullopt;
    std::optional<JsonValue> value = parseJson(result.body);
    if (!value || !value->isObject()) return std::nullopt;
    return value;
}

}  // namespace vornet::e2e
