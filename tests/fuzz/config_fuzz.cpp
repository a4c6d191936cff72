// Configuration and URL validation under arbitrary input: never crashes, and whatever is
// accepted satisfies the rules the rest of the program relies on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "core/text.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool isUrlMessage(const std::string& message) {
    for (const char* known :
         {"URL must start with https:// or http://", "URL has no host", "credentials in URLs are not supported",
          "bad IPv6 literal", "bad port", "URL must not contain a query"})
        if (message == known) return true;
    return false;
}

void checkUrl(std::string_view text) {
    std::string error;
    auto url = vornet::parseUrl(text, &error);
    if (!url) {
        check(isUrlMessage(error), "failure carries a known URL message");
        return;
    }
    check(error.empty(), "success leaves the error alone");
    check(url->port >= 1 && url->port <= 65535, "port within 1..65535");
    check(!url->host.empty(), "host present");
    check(url->host.find_first_of("@/?#") == std::string::npos, "host free of @ / ? #");
    check(url->path.empty() || (url->path.front() == '/' && url->path.back() != '/'), "path shape");
    check(url->path.find_first_of("?#") == std::string::npos, "no query in path");
    check(url->https == text.starts_with("https://"), "scheme");

    // Writing the parts back as a URL and parsing it again gives the same parts (a host that
    // holding '[', or both ':' and ']', cannot be written back unambiguously).
    bool colon = url->host.find(':') != std::string::npos;
    if (url->host.find('[') != std::string::npos || (colon && url->host.find(']') != std::string::npos)) return;
    std::string rebuilt = url->https ? "https://" : "http://";
    rebuilt += colon ? "[" + url->host + "]" : url->host;
    rebuilt += ":" + std::to_string(url->port) + url->path;
    auto again = vornet::parseUrl(rebuilt);
    check(again.has_value() && *again == *url, "rebuilt URL parses to the same parts");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    checkUrl(text);
    checkUrl("https://" + std::string(text));

    std::vector<std::string> errors, warnings;
    auto config = vornet::parseConfig(text, errors, warnings);
    check(config.has_value() == errors.empty(), "a record exactly when no error");
    for (const auto& w : warnings) check(w.ends_with(" (ignored)"), "warnings only report ignored settings");
    if (config) {
        const vornet::Config& c = *config;
        check(!c.url.empty(), "url filled in");
        auto url = vornet::parseUrl(c.url);
        check(url && url->https == c.https && url->host == c.host && url->port == c.port && url->path == c.path,
              "derived server fields match the url");
        check(c.https || (c.allowPlainHttpLoopback && vornet::isLoopbackHost(c.host)), "plain http only to loopback");
        check(!c.id.empty() && c.id.size() <= 128, "id length");
        check(c.liveClientHost == "127.0.0.1" || c.liveClientHost == "localhost", "live client host");
        check(c.batchIntervalMs >= 50 && c.batchIntervalMs <= 60000, "batchIntervalMs");
        check(c.maxBatchSize >= 1 && c.maxBatchSize <= 5000, "maxBatchSize");
        check(c.liveClientIntervalMs >= 50 && c.liveClientIntervalMs <= 60000, "liveClientIntervalMs");
        check(c.eventsIntervalMs >= 50 && c.eventsIntervalMs <= 60000, "eventsIntervalMs");
        check(c.gameStatsIntervalMs >= 50 && c.gameStatsIntervalMs <= 60000, "gameStatsIntervalMs");
        check(c.lcuFallbackIntervalMs >= 100 && c.lcuFallbackIntervalMs <= 60000, "lcuFallbackIntervalMs");
        check(c.liveClientProbeIntervalMs >= 100 && c.liveClientProbeIntervalMs <= 60000, "liveClientProbeIntervalMs");
        check(c.liveClientPort >= 1 && c.liveClientPort <= 65535, "liveClientPort");
        check(c.maxObservations >= 10 && c.maxObservations <= 10000000, "maxObservations");
        check(c.maxBytes >= 65536 && c.maxBytes <= 4294967296ULL, "maxBytes");
        check(c.maxAgeSeconds >= 10 && c.maxAgeSeconds <= 604800, "maxAgeSeconds");
    }
    return 0;
}
