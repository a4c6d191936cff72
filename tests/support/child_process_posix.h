// A child process for a test: started with fork and exec, stopped (SIGTERM, then SIGKILL) when
// the guard goes out of scope.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vornet::testing {

class ChildProcess {
public:
    // `args[0]` is the program's path. `env` entries replace or add variables ("NAME=value");
    // "NAME=" with nothing after it removes one. With `logFile` the child's standard output and
    // error are appended to it.
    explicit ChildProcess(std::vector<std::string> args, const std::vector<std::string>& env = {},
                          const std::string& logFile = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0 || exitStatus_.has_value(); }
    int pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // Sends `sig` and waits up to `ms`; SIGKILL after that. The exit status (128 plus the signal
    // for a child ended by one), or nothing when the child had to be killed.
    std::optional<int> stop(int ms = 5000, int sig = SIGTERM);
    // Waits up to `ms` for the child to end on its own; with `killAfter` it is killed after that.
    std::optional<int> waitExit(int ms, bool killAfter = false);

private:
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

}  // namespace vornet::testing
