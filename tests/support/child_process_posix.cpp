#include "tests/support/child_process_posix.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace vornet::testing {

ChildProcess::ChildProcess(std::vector<std::string> args, const std::vector<std::string>& env,
                           const std::string& logFile) {
    // Whatever the parent's stdio still buffers is written once, by the parent, not again by the
    // child when it replaces its standard output.
    std::fflush(nullptr);
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
            int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (log >= 0) {
                dup2(log, STDOUT_FILENO);
                dup2(log, STDERR_FILENO);
            }
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    return !waitExit(0).has_value();
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

std::optional<int> ChildProcess::stop(int ms, int sig) {
    if (pid_ <= 0) return exitStatus_;
    kill(pid_, sig);
    return waitExit(ms, true);
}

std::optional<int> ChildProcess::waitExit(int ms, bool killAfter) {
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

}  // namespace vornet::testing
