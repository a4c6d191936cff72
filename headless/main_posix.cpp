// parlow: the headless collector for Linux. The desktop program's switches are accepted; those
// that only concern windows (--background, --native-ui, --ui-selftest) change nothing here.
#include <malloc.h>
#include <openssl/ssl.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_options.h"
#include "core/files.h"
#include "core/text.h"
#include "headless/headless_app.h"
#include "headless/single_instance.h"

namespace {

// Exit code of a second instance whose invite code was not taken.
constexpr int kHandoverFailedExit = 2;

}  // namespace

int main(int argc, char** argv) {
    using namespace vornet;
    // The process holds the bearer token and the game client's password: no core file, and no
    // other process of the user may attach to it or read its memory.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    // Failures are reported from a fixed vocabulary, never with OpenSSL's texts: its error
    // string tables (0.4 MiB resident) are not loaded.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_SSL_STRINGS | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS, nullptr);
    // In a game every request and batch frees a few hundred KB that the next one allocates
    // again. With glibc's defaults each free gives the pages back (madvise) and the next
    // allocation faults them in anew, about 160 faults a second; up to 1 MiB of free memory is
    // kept per arena instead. The peak stays what it was: it is reached before any trimming.
    ::mallopt(M_TRIM_THRESHOLD, 1 << 20);
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);  // a fixed trim threshold also fixes this one

    std::vector<WideString> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(utf8ToWide(argv[i]));
    app::AppOptions options = app::parseArguments(arguments);
    // Every local user can read a process's command line for its whole life: the invite code
    // is blanked once parsed.
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--connect") == 0) {
            std::memset(argv[i + 1], 0, std::strlen(argv[i + 1]));
            ++i;
        }
    }
    // There is no window to test here, so the self-test switch must not bypass the
    // single-instance check either.
    options.uiSelftest.clear();

    headless::installStopSignals();

    std::string folder;
    try {
        folder = appDataFolder();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "parlow: %s\n", e.what());
    }
    const std::string lockPath = joinPath(folder, headless::kInstanceLockName);
    const std::string socketPath = headless::handoverSocketPath(lockPath);

    std::string error;
    headless::InstanceLock::Outcome outcome = headless::InstanceLock::Outcome::Failed;
    std::unique_ptr<headless::InstanceLock> lock;
    if (!folder.empty()) lock = headless::InstanceLock::acquire(lockPath, outcome, error);
    if (outcome == headless::InstanceLock::Outcome::HeldByOther) {
        if (options.connectCode.empty()) return 0;
        headless::HandoverAnswer answer =
            headless::sendHandover(socketPath, headless::kHandoverTag, options.connectCode);
        if (answer == headless::HandoverAnswer::Accepted) {
            std::printf("parlow: the running instance took the invite code\n");
            return 0;
        }
        std::fprintf(stderr, "parlow: the running instance %s the invite code\n",
                     answer == headless::HandoverAnswer::NoInstance ? "could not be reached for" : "did not take");
        return kHandoverFailedExit;
    }
    std::unique_ptr<headless::HandoverListener> listener;
    if (lock) {
        listener = headless::HandoverListener::listen(socketPath, error);
        if (!listener) std::fprintf(stderr, "parlow: no hand-over channel: %s\n", error.c_str());
    } else {
        std::fprintf(stderr, "parlow: running without the single-instance check: %s\n", error.c_str());
    }

    int code = 0;
    bool terminate = false;
    {
        auto app = std::make_unique<headless::HeadlessApp>(options, std::move(lock), std::move(listener));
        code = app->run();
        terminate = app->terminateAtExit();
        if (terminate) {
            // A worker thread still uses the collector or the enroll slot: end now rather than
            // destroy anything under it.
            std::fflush(nullptr);
            std::_Exit(code);
        }
    }
    return code;
}
