#include "config/config.h"

#include <algorithm>

#include "core/files.h"
#include "core/json.h"
#include "core/text.h"

namespace vornet {

namespace {

// Reads the keys of one section object, in the order the caller asks for them, remembering
// each as known so that the rest can be reported as ignored.
class SectionReader {
public:
    SectionReader(std::string_view section, const JsonValue& object, std::vector<std::string>& errors)
        : section_(section), object_(object), errors_(errors) {}

    void text(std::string_view key, std::string& field) {
        const JsonValue* value = take(key);
        if (!value) return;
        if (value->isString())
            field = value->text;
        else
            fail(key, " must be a string");
    }

    void flag(std::string_view key, bool& field) {
        const JsonValue* value = take(key);
        if (!value) return;
        if (value->isBool())
            field = value->boolean;
        else
            fail(key, " must be true or false");
    }

    template <typename Unsigned>
    void integer(std::string_view key, Unsigned& field, std::int64_t lo, std::int64_t hi) {
        const JsonValue* value = take(key);
        if (!value) return;
        if (value->isNumber()) {
            // Every lower bound is positive, so the 0 that asInt64 gives for a number beyond the
            // 64-bit range is rejected like any other value outside the bounds.
            std::int64_t number = value->asInt64(0);
            if (number >= lo && number <= hi) {
                field = static_cast<Unsigned>(number);
                return;
            }
        }
        fail(key, " must be an integer between " + std::to_string(lo) + " and " + std::to_string(hi));
    }

    void textList(std::string_view key, std::vector<std::string>& field) {
        const JsonValue* value = take(key);
        if (!value) return;
        if (!value->isArray()) {
            fail(key, " must be an array of strings");
            return;
        }
        field.clear();
        for (const JsonValue& element : value->elements) field.push_back(element.isString() ? element.text : "");
    }

    // A key that is accepted but not read.
    void ignore(std::string_view key) { known_.push_back(key); }

    void warnUnknown(std::vector<std::string>& warnings) const {
        for (const JsonMember& member : object_.members) {
            if (std::find(known_.begin(), known_.end(), member.key) == known_.end())
                warnings.push_back("unknown setting " + std::string(section_) + "." + member.key + " (ignored)");
        }
    }

private:
    const JsonValue* take(std::string_view key) {
        known_.push_back(key);
        return object_.find(key);
    }

    void fail(std::string_view key, const std::string& message) {
        errors_.push_back(std::string(section_) + "." + std::string(key) + message);
    }

    std::string_view section_;
    const JsonValue& object_;
    std::vector<std::string>& errors_;
    std::vector<std::string_view> known_;
};

void readCollector(SectionReader& r, Config& c) {
    r.text("id", c.id);
    r.text("name", c.name);
    r.flag("enabled", c.enabled);
}

void readServer(SectionReader& r, Config& c) {
    r.text("url", c.url);
    r.integer("batchIntervalMs", c.batchIntervalMs, 50, 60000);
    r.integer("maxBatchSize", c.maxBatchSize, 1, 5000);
    r.text("caFile", c.caFile);
    r.flag("allowPlainHttpLoopback", c.allowPlainHttpLoopback);
    r.flag("gzip", c.gzip);
}

void readCollection(SectionReader& r, Config& c) {
    r.flag("enabled", c.collectionEnabled);
    r.flag("lcu", c.lcu);
    r.flag("liveClient", c.liveClient);
    r.flag("lcuWebSocket", c.lcuWebSocket);
    r.integer("liveClientIntervalMs", c.liveClientIntervalMs, 50, 60000);
    r.integer("eventsIntervalMs", c.eventsIntervalMs, 50, 60000);
    r.integer("gameStatsIntervalMs", c.gameStatsIntervalMs, 50, 60000);
    r.integer("lcuFallbackIntervalMs", c.lcuFallbackIntervalMs, 100, 60000);
    r.integer("liveClientProbeIntervalMs", c.liveClientProbeIntervalMs, 100, 60000);
    r.text("leagueInstallDir", c.leagueInstallDir);
    r.text("riotRootCertFile", c.riotRootCertFile);
    r.flag("insecureLocalTls", c.insecureLocalTls);
    r.text("liveClientHost", c.liveClientHost);
    r.integer("liveClientPort", c.liveClientPort, 1, 65535);
    r.textList("disabledEndpoints", c.disabledEndpoints);
    r.text("captureDir", c.captureDir);
    r.ignore("profile");
}

void readBuffer(SectionReader& r, Config& c) {
    r.integer("maxObservations", c.maxObservations, 10, 10000000);
    r.integer("maxBytes", c.maxBytes, 65536, 4294967296);
    r.integer("maxAgeSeconds", c.maxAgeSeconds, 10, 604800);
}

struct Section {
    const char* name;
    void (*read)(SectionReader&, Config&);
};

constexpr Section kSections[] = {
    {"collector", readCollector},
    {"server", readServer},
    {"collection", readCollection},
    {"buffer", readBuffer},
};

bool isIdByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == ':' || c == '-';
}

bool validCollectorId(std::string_view id) {
    return !id.empty() && id.size() <= 128 && std::all_of(id.begin(), id.end(), isIdByte);
}

std::optional<ParsedUrl> failUrl(std::string* error, const char* message) {
    if (error) *error = message;
    return std::nullopt;
}

}  // namespace

Config defaultConfig() {
    return Config{};
}

std::optional<ParsedUrl> parseUrl(std::string_view text, std::string* error) {
    ParsedUrl url;
    std::string_view rest;
    if (text.starts_with("https://")) {
        url.https = true;
        url.port = 443;
        rest = text.substr(8);
    } else if (text.starts_with("http://")) {
        url.https = false;
        url.port = 80;
        rest = text.substr(7);
    } else {
        return failUrl(error, "URL must start with https:// or http://");
    }

    std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);

    if (authority.empty()) return failUrl(error, "URL has no host");
    if (authority.find('@') != std::string_view::npos) return failUrl(error, "credentials in URLs are not supported");

    std::string_view host;
    std::optional<std::string_view> port;
    if (authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return failUrl(error, "bad IPv6 literal");
        host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':') port = authority.substr(close + 2);
    } else {
        std::size_t colon = authority.rfind(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
    }

    if (port) {
        if (port->empty()) return failUrl(error, "bad port");
        std::uint32_t value = 0;
        for (char c : *port) {
            if (c < '0' || c > '9') return failUrl(error, "bad port");
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
            if (value > 65535) return failUrl(error, "bad port");
        }
        if (value == 0) return failUrl(error, "bad port");
        url.port = value;
    }

    // An authority of only a port (or "[]") names no host to connect to.
    if (host.empty()) return failUrl(error, "URL has no host");

    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    // A query or fragment is refused wherever it starts, also right after the host.
    auto hasQuery = [](std::string_view part) { return part.find_first_of("?#") != std::string_view::npos; };
    if (hasQuery(path) || hasQuery(authority)) return failUrl(error, "URL must not contain a query");

    url.host = std::string(host);
    url.path = std::string(path);
    return url;
}

std::optional<Config> parseConfig(std::string_view text, std::vector<std::string>& errors,
                                  std::vector<std::string>& warnings) {
    std::string parseError;
    std::optional<JsonValue> root = parseJson(text, &parseError);
    if (!root || !root->isObject()) {
        errors.push_back("configuration is not a JSON object: " + (root ? std::string() : parseError));
        return std::nullopt;
    }

    // Errors already in the list belong to the caller; only the ones added here count.
    const std::size_t errorsBefore = errors.size();
    Config config = defaultConfig();

    for (const JsonMember& member : root->members) {
        bool known = std::any_of(std::begin(kSections), std::end(kSections),
                                 [&](const Section& s) { return member.key == s.name; });
        if (!known) warnings.push_back("unknown section " + member.key + " (ignored)");
    }

    for (const Section& section : kSections) {
        const JsonValue* object = root->find(section.name);
        if (!object) continue;
        if (!object->isObject()) {
            errors.push_back(std::string(section.name) + " must be an object");
            continue;
        }
        SectionReader reader(section.name, *object, errors);
        section.read(reader, config);
        reader.warnUnknown(warnings);
    }

    if (!validCollectorId(config.id)) errors.push_back("collector.id must be 1-128 characters of A-Z a-z 0-9 _ . : -");

    if (config.url.empty()) config.url = kDefaultServerUrl;
    std::string urlError;
    if (auto url = parseUrl(config.url, &urlError)) {
        config.https = url->https;
        config.host = url->host;
        config.port = url->port;
        config.path = url->path;
        if (!config.https && !(config.allowPlainHttpLoopback && isLoopbackHost(config.host)))
            errors.push_back(
                "server.url must use https:// (plain http is only allowed to loopback with "
                "server.allowPlainHttpLoopback)");
    } else {
        errors.push_back("server.url: " + urlError);
    }

    if (config.liveClientHost != "127.0.0.1" && config.liveClientHost != "localhost")
        errors.push_back("collection.liveClientHost must be a loopback address");

    if (errors.size() != errorsBefore) return std::nullopt;
    return config;
}

std::optional<Config> loadConfigFile(const std::string& path, std::vector<std::string>& errors,
                                     std::vector<std::string>& warnings) {
    std::optional<std::string> content = readWholeFile(path);
    if (!content) {
        errors.push_back("cannot read configuration file " + path);
        return std::nullopt;
    }
    return parseConfig(*content, errors, warnings);
}

bool endpointEnabled(const Config& config, std::string_view endpointPath) {
    return std::find(config.disabledEndpoints.begin(), config.disabledEndpoints.end(), endpointPath) ==
           config.disabledEndpoints.end();
}

}  // namespace vornet
