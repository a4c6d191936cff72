// The collector configuration (collector.json): the record, its defaults and its validation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornet {

// The built-in aggregator used when server.url is empty.
inline constexpr const char* kDefaultServerUrl = "https://ingest.parlow.gg";

// The validated configuration, passed by value.
struct Config {
    // collector
    std::string id = "collector_1";
    std::string name = "gaming-pc";
    bool enabled = true;
    // server
    std::string url;    // empty in the file means kDefaultServerUrl
    bool https = true;  // https, host, port and path are derived from url
    std::string host;
    std::uint32_t port = 443;
    std::string path;  // empty, or starts with '/' and never ends with '/'
    std::uint32_t batchIntervalMs = 250;
    std::uint32_t maxBatchSize = 64;
    bool gzip = true;
    std::string caFile;
    bool allowPlainHttpLoopback = false;
    // collection
    bool collectionEnabled = true;
    bool lcu = true;
    bool liveClient = true;
    bool lcuWebSocket = true;
    std::uint32_t liveClientIntervalMs = 250;
    std::uint32_t eventsIntervalMs = 500;
    std::uint32_t gameStatsIntervalMs = 500;
    std::uint32_t lcuFallbackIntervalMs = 1000;
    std::uint32_t liveClientProbeIntervalMs = 2000;
    std::string leagueInstallDir;
    std::string riotRootCertFile;
    bool insecureLocalTls = false;
    std::string liveClientHost = "127.0.0.1";
    std::uint32_t liveClientPort = 2999;
    std::vector<std::string> disabledEndpoints;
    std::string captureDir;
    // buffer
    std::uint64_t maxObservations = 10000;
    std::uint64_t maxBytes = 33554432;
    std::uint32_t maxAgeSeconds = 900;

    bool operator==(const Config&) const = default;
};

struct ParsedUrl {
    bool https = true;
    std::string host;  // without brackets for an IPv6 literal
    std::uint32_t port = 443;
    std::string path;  // empty, or starts with '/' and does not end with '/'

    bool operator==(const ParsedUrl&) const = default;
};

// Every default. Note: `url` stays empty and host/port/path are not derived here.
Config defaultConfig();
// Validates configuration text. Appends messages in the order found; returns the record only
// when no error was appended (warnings never prevent it).
std::optional<Config> parseConfig(std::string_view text, std::vector<std::string>& errors,
                                  std::vector<std::string>& warnings);
// Reads and validates a configuration file (UTF-8 path).
std::optional<Config> loadConfigFile(const std::string& path, std::vector<std::string>& errors,
                                     std::vector<std::string>& warnings);
// False when endpointPath is listed in disabledEndpoints (exact, case-sensitive).
bool endpointEnabled(const Config& config, std::string_view endpointPath);
// Splits an http or https URL; on failure returns nothing and stores the reason in `error`.
std::optional<ParsedUrl> parseUrl(std::string_view text, std::string* error = nullptr);

}  // namespace vornet
