// Every parser fed an input as large as its transport lets through, under a limit on the
// process's address space: an amplification (a small input becoming gigabytes of values)
// fails here instead of on a user's PC. Each case runs in a child process, since the limit
// cannot be lifted again once set.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "collector/enroll.h"
#include "collector/envelope.h"
#include "collector/observation.h"
#include "config/config.h"
#include "core/files.h"
#include "net/http_policy.h"
#include "sources/feed_message.h"

namespace vornet {
namespace {

// Room for the parser's own work on top of what the process already maps (the input
// included). A parser that keeps its memory within a small multiple of its input fits.
constexpr std::size_t kBudgetBytes = 512u << 20;

// `prefix`, then "0," repeated up to `size` bytes in all, then `suffix`: the densest text in
// values (one value per two bytes), which is what an amplification needs.
std::string denseValues(const std::string& prefix, std::size_t size, const std::string& suffix) {
    std::string text = prefix;
    text.reserve(size);
    while (text.size() + 2 + suffix.size() + 1 <= size) text += "0,";
    text += '0';
    text += suffix;
    return text;
}

std::size_t mappedBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (statm) {
        if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Runs `parse` on `input` in a child limited to what it maps now plus kBudgetBytes. The exit
// status: 0 when the parse returned, 3 when it ran out of memory, a signal when it crashed.
int runLimited(const std::string& input, const std::function<void(const std::string&)>& parse) {
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = mappedBytes() + kBudgetBytes;
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(4);
        try {
            parse(input);
        } catch (const std::bad_alloc&) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(InputLimits, EveryParserAtItsTransportLimitStaysWithinMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve terabytes of address space; the native build runs this";
#endif
    // One row per parser and the largest input that reaches it. Catches a parser whose memory
    // grows tens of times faster than its input (the JSON model without a bound on values, an
    // answer parsed before its own size cap): the child then runs out of address space.
    struct Case {
        const char* name;
        std::string input;
        std::function<void(const std::string&)> parse;
    };
    const std::vector<Case> cases = {
        {"game client answer (array)", denseValues("[", kMaxResponseBytes, "]"),
         [](const std::string& body) {
             Observation observation;
             setPayloadFromBody(observation, body);
         }},
        {"game client answer (object)", denseValues("{\"a\":[", kMaxResponseBytes, "]}"),
         [](const std::string& body) {
             Observation observation;
             setPayloadFromBody(observation, body);
         }},
        {"feed message",
         denseValues("[8,\"OnJsonApiEvent\",{\"uri\":\"/lol-gameflow/v1/session\",\"data\":[", kMaxMessageBytes, "]}]"),
         [](const std::string& text) { parseFeedMessage(text); }},
        {"acknowledgement", denseValues("{\"accepted\":[", kMaxResponseBytes, "],\"duplicates\":[],\"rejected\":[]}"),
         [](const std::string& body) { parseAcknowledgement(body); }},
        {"enroll answer", denseValues("{\"collectorId\":\"c\",\"token\":\"t\",\"x\":[", kMaxResponseBytes, "]}"),
         [](const std::string& body) {
             HttpResponse response;
             response.status = 201;
             response.body = body;
             interpretEnrollResponse(response);
         }},
        {"configuration file", denseValues("{\"collector\":{\"x\":[", kReadWholeFileLimit, "]}}"),
         [](const std::string& text) {
             std::vector<std::string> errors, warnings;
             parseConfig(text, errors, warnings);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(runLimited(c.input, c.parse), 0);
    }
}

}  // namespace
}  // namespace vornet
