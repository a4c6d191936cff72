#include "config/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/json.h"
#include "core/text.h"

namespace vornet {

// Readable failure output for whole-record comparisons.
void PrintTo(const Config& c, std::ostream* os) {
    *os << "{id=" << c.id << " name=" << c.name << " enabled=" << c.enabled << " url=" << c.url << " https=" << c.https
        << " host=" << c.host << " port=" << c.port << " path=" << c.path << " batchIntervalMs=" << c.batchIntervalMs
        << " maxBatchSize=" << c.maxBatchSize << " gzip=" << c.gzip << " caFile=" << c.caFile
        << " allowPlainHttpLoopback=" << c.allowPlainHttpLoopback << " collectionEnabled=" << c.collectionEnabled
        << " lcu=" << c.lcu << " liveClient=" << c.liveClient << " lcuWebSocket=" << c.lcuWebSocket
        << " liveClientIntervalMs=" << c.liveClientIntervalMs << " eventsIntervalMs=" << c.eventsIntervalMs
        << " gameStatsIntervalMs=" << c.gameStatsIntervalMs << " lcuFallbackIntervalMs=" << c.lcuFallbackIntervalMs
        << " liveClientProbeIntervalMs=" << c.liveClientProbeIntervalMs << " leagueInstallDir=" << c.leagueInstallDir
        << " riotRootCertFile=" << c.riotRootCertFile << " insecureLocalTls=" << c.insecureLocalTls
        << " liveClientHost=" << c.liveClientHost << " liveClientPort=" << c.liveClientPort << " disabledEndpoints=[";
    for (const auto& e : c.disabledEndpoints) *os << e << ",";
    *os << "] captureDir=" << c.captureDir << " maxObservations=" << c.maxObservations << " maxBytes=" << c.maxBytes
        << " maxAgeSeconds=" << c.maxAgeSeconds << "}";
}

void PrintTo(const ParsedUrl& u, std::ostream* os) {
    *os << "{https=" << u.https << " host=" << u.host << " port=" << u.port << " path=" << u.path << "}";
}

namespace {

using Strings = std::vector<std::string>;

struct Outcome {
    std::optional<Config> config;
    Strings errors;
    Strings warnings;
};

Outcome parse(std::string_view text) {
    Outcome out;
    out.config = parseConfig(text, out.errors, out.warnings);
    return out;
}

// What `{}` gives: every default, with the built-in server URL filled in and split.
Config parsedDefaults() {
    Config c = defaultConfig();
    c.url = kDefaultServerUrl;
    c.https = true;
    c.host = "ingest.parlow.gg";
    c.port = 443;
    c.path = "";
    return c;
}

TEST(DefaultConfig, HoldsEveryDefault) {
    const Config c = defaultConfig();
    EXPECT_EQ(c.id, "collector_1");
    EXPECT_EQ(c.name, "gaming-pc");
    EXPECT_TRUE(c.enabled);
    EXPECT_EQ(c.url, "");
    EXPECT_TRUE(c.https);
    EXPECT_EQ(c.host, "");
    EXPECT_EQ(c.port, 443u);
    EXPECT_EQ(c.path, "");
    EXPECT_EQ(c.batchIntervalMs, 250u);
    EXPECT_EQ(c.maxBatchSize, 64u);
    EXPECT_EQ(c.caFile, "");
    EXPECT_FALSE(c.allowPlainHttpLoopback);
    EXPECT_TRUE(c.gzip);
    EXPECT_TRUE(c.collectionEnabled);
    EXPECT_TRUE(c.lcu);
    EXPECT_TRUE(c.liveClient);
    EXPECT_TRUE(c.lcuWebSocket);
    EXPECT_EQ(c.liveClientIntervalMs, 250u);
    EXPECT_EQ(c.eventsIntervalMs, 500u);
    EXPECT_EQ(c.gameStatsIntervalMs, 500u);
    EXPECT_EQ(c.lcuFallbackIntervalMs, 1000u);
    EXPECT_EQ(c.liveClientProbeIntervalMs, 2000u);
    EXPECT_EQ(c.leagueInstallDir, "");
    EXPECT_EQ(c.riotRootCertFile, "");
    EXPECT_FALSE(c.insecureLocalTls);
    EXPECT_EQ(c.liveClientHost, "127.0.0.1");
    EXPECT_EQ(c.liveClientPort, 2999u);
    EXPECT_TRUE(c.disabledEndpoints.empty());
    EXPECT_EQ(c.captureDir, "");
    EXPECT_EQ(c.maxObservations, 10000u);
    EXPECT_EQ(c.maxBytes, 33554432u);
    EXPECT_EQ(c.maxAgeSeconds, 900u);
}

TEST(ParseConfig, EmptyObjectGivesTheDefaultsWithoutMessages) {
    for (const char* text : {"{}", " \n{ }\r\n", R"({"collector":{},"server":{},"collection":{},"buffer":{}})"}) {
        SCOPED_TRACE(text);
        Outcome out = parse(text);
        ASSERT_TRUE(out.config.has_value());
        EXPECT_EQ(*out.config, parsedDefaults());
        EXPECT_TRUE(out.errors.empty());
        EXPECT_TRUE(out.warnings.empty());
    }
    EXPECT_TRUE(parseUrl(kDefaultServerUrl).has_value());
}

TEST(ParseConfig, NotAnObject) {
    // Catches a parser message added for valid JSON of another kind, and a missing one for
    // broken JSON; nothing else may be checked once the root is unusable.
    for (const char* text : {"[]", "42", "\"x\"", "null", "true", "[{\"collector\":{\"id\":\"bad id\"}}]"}) {
        SCOPED_TRACE(text);
        Outcome out = parse(text);
        EXPECT_FALSE(out.config.has_value());
        EXPECT_EQ(out.errors, Strings{"configuration is not a JSON object: "});
        EXPECT_TRUE(out.warnings.empty());
    }
    for (const char* text : {"", "{", "{\"collector\":}", "{} x", "{\"a\":1,}"}) {
        SCOPED_TRACE(text);
        std::string parserError;
        ASSERT_FALSE(parseJson(text, &parserError).has_value());
        ASSERT_NE(parserError.find(" at offset "), std::string::npos);
        Outcome out = parse(text);
        EXPECT_FALSE(out.config.has_value());
        EXPECT_EQ(out.errors, Strings{"configuration is not a JSON object: " + parserError});
    }
}

// Each document produces exactly these messages. Catches a wrong message text, a wrong
// section.key name, a warning filed as an error (or the reverse) and a wrong order.
struct MessageCase {
    const char* text;
    Strings errors;
    Strings warnings;
};

TEST(ParseConfig, MessagesVerbatim) {
    const std::vector<MessageCase> cases = {
        {R"({"extra":1})", {}, {"unknown section extra (ignored)"}},
        {R"({"Collector":{}})", {}, {"unknown section Collector (ignored)"}},
        {R"({"server":{"foo":1,"url":"https://h","bar":{}}})",
         {},
         {"unknown setting server.foo (ignored)", "unknown setting server.bar (ignored)"}},
        {R"({"collection":{"profile":{"anything":[1,2]}}})", {}, {}},
        {R"({"collection":{"profile":"x"}})", {}, {}},
        {R"({"collector":{"profile":1}})", {}, {"unknown setting collector.profile (ignored)"}},
        {R"({"collector":[]})", {"collector must be an object"}, {}},
        {R"({"server":"https://h"})", {"server must be an object"}, {}},
        {R"({"collection":null})", {"collection must be an object"}, {}},
        {R"({"buffer":5})", {"buffer must be an object"}, {}},
        {R"({"collector":{"id":5}})", {"collector.id must be a string"}, {}},
        {R"({"collector":{"name":null}})", {"collector.name must be a string"}, {}},
        {R"({"collector":{"enabled":"true"}})", {"collector.enabled must be true or false"}, {}},
        {R"({"collector":{"enabled":1}})", {"collector.enabled must be true or false"}, {}},
        {R"({"server":{"maxBatchSize":0}})", {"server.maxBatchSize must be an integer between 1 and 5000"}, {}},
        {R"({"server":{"maxBatchSize":5001}})", {"server.maxBatchSize must be an integer between 1 and 5000"}, {}},
        {R"({"server":{"maxBatchSize":"64"}})", {"server.maxBatchSize must be an integer between 1 and 5000"}, {}},
        {R"({"server":{"maxBatchSize":1e300}})", {"server.maxBatchSize must be an integer between 1 and 5000"}, {}},
        {R"({"server":{"maxBatchSize":-1e300}})", {"server.maxBatchSize must be an integer between 1 and 5000"}, {}},
        {R"({"server":{"maxBatchSize":5000.5}})", {"server.maxBatchSize must be an integer between 1 and 5000"}, {}},
        {R"({"buffer":{"maxBytes":4294967297}})",
         {"buffer.maxBytes must be an integer between 65536 and 4294967296"},
         {}},
        {R"({"collection":{"disabledEndpoints":"/x"}})",
         {"collection.disabledEndpoints must be an array of strings"},
         {}},
        {R"({"collection":{"disabledEndpoints":{}}})",
         {"collection.disabledEndpoints must be an array of strings"},
         {}},
        {R"({"collector":{"id":""}})", {"collector.id must be 1-128 characters of A-Z a-z 0-9 _ . : -"}, {}},
        {R"({"server":{"url":"ftp://h"}})", {"server.url: URL must start with https:// or http://"}, {}},
        {R"({"server":{"url":"https://"}})", {"server.url: URL has no host"}, {}},
        {R"({"server":{"url":"https://u:p@h"}})", {"server.url: credentials in URLs are not supported"}, {}},
        {R"({"server":{"url":"https://[::1"}})", {"server.url: bad IPv6 literal"}, {}},
        {R"({"server":{"url":"https://h:x"}})", {"server.url: bad port"}, {}},
        {R"({"server":{"url":"https://h/x?y=1"}})", {"server.url: URL must not contain a query"}, {}},
        {R"({"server":{"url":"http://h"}})",
         {"server.url must use https:// (plain http is only allowed to loopback with server.allowPlainHttpLoopback)"},
         {}},
        {R"({"server":{"url":"http://127.0.0.1"}})",
         {"server.url must use https:// (plain http is only allowed to loopback with server.allowPlainHttpLoopback)"},
         {}},
        {R"({"server":{"url":"http://example.com","allowPlainHttpLoopback":true}})",
         {"server.url must use https:// (plain http is only allowed to loopback with server.allowPlainHttpLoopback)"},
         {}},
        {R"({"collection":{"liveClientHost":"::1"}})", {"collection.liveClientHost must be a loopback address"}, {}},
        {R"({"collection":{"liveClientHost":"LOCALHOST"}})",
         {"collection.liveClientHost must be a loopback address"},
         {}},
        {R"({"collection":{"liveClientHost":" 127.0.0.1"}})",
         {"collection.liveClientHost must be a loopback address"},
         {}},
        // Keys are read in their fixed order, not in document order.
        {R"({"server":{"gzip":1,"url":5}})", {"server.url must be a string", "server.gzip must be true or false"}, {}},
        // Sections are read in their fixed order; the final checks always run, last.
        {R"({"buffer":{"maxAgeSeconds":1},"zzz":0,"collection":{"liveClientHost":"::1","lcu":"no","q":1},)"
         R"("server":{"url":"ftp://x","gzip":1},"collector":{"id":"bad id","x":2}})",
         {"server.gzip must be true or false", "collection.lcu must be true or false",
          "buffer.maxAgeSeconds must be an integer between 10 and 604800",
          "collector.id must be 1-128 characters of A-Z a-z 0-9 _ . : -",
          "server.url: URL must start with https:// or http://",
          "collection.liveClientHost must be a loopback address"},
         {"unknown section zzz (ignored)", "unknown setting collector.x (ignored)",
          "unknown setting collection.q (ignored)"}},
        // A section that is not an object leaves the later checks running.
        {R"({"collector":1,"server":{"url":"https://h:0"},"collection":{"liveClientHost":"::1"}})",
         {"collector must be an object", "server.url: bad port",
          "collection.liveClientHost must be a loopback address"},
         {}},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.text);
        Outcome out = parse(c.text);
        EXPECT_EQ(out.errors, c.errors);
        EXPECT_EQ(out.warnings, c.warnings);
        EXPECT_EQ(out.config.has_value(), c.errors.empty());
    }
}

TEST(ParseConfig, MessagesAreAppendedAfterTheCallersOwn) {
    Strings errors{"earlier"}, warnings{"earlier warning"};
    auto config = parseConfig(R"({"extra":1})", errors, warnings);
    EXPECT_TRUE(config.has_value());
    EXPECT_EQ(errors, Strings{"earlier"});
    EXPECT_EQ(warnings, (Strings{"earlier warning", "unknown section extra (ignored)"}));
    config = parseConfig(R"({"buffer":[]})", errors, warnings);
    EXPECT_FALSE(config.has_value());
    EXPECT_EQ(errors, (Strings{"earlier", "buffer must be an object"}));
}

// Every integer setting with its bounds. Catches a bound off by one, a setting read into the
// wrong field, a wrong section or key name, and rounding that is not half away from zero.
struct IntegerKey {
    const char* section;
    const char* key;
    std::int64_t lo, hi;
    std::function<void(Config&, std::uint64_t)> set;
};

TEST(ParseConfig, IntegerSettingsTheirBoundsAndRounding) {
    const std::vector<IntegerKey> keys = {
        {"server", "batchIntervalMs", 50, 60000, [](Config& c, std::uint64_t v) { c.batchIntervalMs = v; }},
        {"server", "maxBatchSize", 1, 5000, [](Config& c, std::uint64_t v) { c.maxBatchSize = v; }},
        {"collection", "liveClientIntervalMs", 50, 60000,
         [](Config& c, std::uint64_t v) { c.liveClientIntervalMs = v; }},
        {"collection", "eventsIntervalMs", 50, 60000, [](Config& c, std::uint64_t v) { c.eventsIntervalMs = v; }},
        {"collection", "gameStatsIntervalMs", 50, 60000, [](Config& c, std::uint64_t v) { c.gameStatsIntervalMs = v; }},
        {"collection", "lcuFallbackIntervalMs", 100, 60000,
         [](Config& c, std::uint64_t v) { c.lcuFallbackIntervalMs = v; }},
        {"collection", "liveClientProbeIntervalMs", 100, 60000,
         [](Config& c, std::uint64_t v) { c.liveClientProbeIntervalMs = v; }},
        {"collection", "liveClientPort", 1, 65535, [](Config& c, std::uint64_t v) { c.liveClientPort = v; }},
        {"buffer", "maxObservations", 10, 10000000, [](Config& c, std::uint64_t v) { c.maxObservations = v; }},
        {"buffer", "maxBytes", 65536, 4294967296, [](Config& c, std::uint64_t v) { c.maxBytes = v; }},
        {"buffer", "maxAgeSeconds", 10, 604800, [](Config& c, std::uint64_t v) { c.maxAgeSeconds = v; }},
    };
    for (const IntegerKey& k : keys) {
        SCOPED_TRACE(std::string(k.section) + "." + k.key);
        auto doc = [&](const std::string& value) {
            return std::string("{\"") + k.section + "\":{\"" + k.key + "\":" + value + "}}";
        };
        const std::string message = std::string(k.section) + "." + k.key + " must be an integer between " +
                                    std::to_string(k.lo) + " and " + std::to_string(k.hi);
        struct Accepted {
            std::string value;
            std::int64_t expected;
        };
        const std::vector<Accepted> accepted = {
            {std::to_string(k.lo), k.lo},
            {std::to_string(k.hi), k.hi},
            {std::to_string(k.lo) + ".5", k.lo + 1},
            {std::to_string(k.hi) + ".4", k.hi},
            {std::to_string(k.lo - 1) + ".5", k.lo},
            {std::to_string(k.hi) + "e0", k.hi},
        };
        for (const Accepted& a : accepted) {
            SCOPED_TRACE(a.value);
            Outcome out = parse(doc(a.value));
            ASSERT_TRUE(out.config.has_value()) << (out.errors.empty() ? "" : out.errors[0]);
            // The value lands in its own field and nowhere else.
            Config expected = parsedDefaults();
            k.set(expected, static_cast<std::uint64_t>(a.expected));
            EXPECT_EQ(*out.config, expected);
        }
        for (const std::string& bad : {std::to_string(k.lo - 1), std::to_string(k.hi + 1), std::to_string(k.hi) + ".5",
                                       std::string("\"") + std::to_string(k.lo) + "\"", std::string("true"),
                                       std::string("null"), std::string("[1]"), std::string("-1")}) {
            SCOPED_TRACE(bad);
            Outcome out = parse(doc(bad));
            EXPECT_FALSE(out.config.has_value());
            EXPECT_EQ(out.errors, Strings{message});
        }
    }
}

// Every boolean and string setting. Catches a value stored in the wrong field and a wrong
// kind accepted or reported under the wrong name.
struct TypedKey {
    const char* section;
    const char* key;
    const char* goodValue;  // differs from the default
    const char* badValue;
    const char* message;
    std::function<void(Config&)> apply;  // what goodValue does to the parsed defaults
};

TEST(ParseConfig, BooleanAndStringSettings) {
    const std::vector<TypedKey> keys = {
        {"collector", "id", "\"a.b:c_d-1\"", "1", "collector.id must be a string",
         [](Config& c) { c.id = "a.b:c_d-1"; }},
        {"collector", "name", "\"Zo\xc3\xab's PC\"", "false", "collector.name must be a string",
         [](Config& c) { c.name = "Zo\xc3\xab's PC"; }},
        {"collector", "enabled", "false", "0", "collector.enabled must be true or false",
         [](Config& c) { c.enabled = false; }},
        {"server", "url", "\"https://agg.example:8443/api/v1/\"", "[]", "server.url must be a string",
         [](Config& c) {
             c.url = "https://agg.example:8443/api/v1/";
             c.host = "agg.example";
             c.port = 8443;
             c.path = "/api/v1";
         }},
        {"server", "caFile", "\"C:\\\\certs\\\\ca.pem\"", "{}", "server.caFile must be a string",
         [](Config& c) { c.caFile = "C:\\certs\\ca.pem"; }},
        {"server", "allowPlainHttpLoopback", "true", "\"yes\"", "server.allowPlainHttpLoopback must be true or false",
         [](Config& c) { c.allowPlainHttpLoopback = true; }},
        {"server", "gzip", "false", "null", "server.gzip must be true or false", [](Config& c) { c.gzip = false; }},
        {"collection", "enabled", "false", "1", "collection.enabled must be true or false",
         [](Config& c) { c.collectionEnabled = false; }},
        {"collection", "lcu", "false", "1", "collection.lcu must be true or false", [](Config& c) { c.lcu = false; }},
        {"collection", "liveClient", "false", "1", "collection.liveClient must be true or false",
         [](Config& c) { c.liveClient = false; }},
        {"collection", "lcuWebSocket", "false", "1", "collection.lcuWebSocket must be true or false",
         [](Config& c) { c.lcuWebSocket = false; }},
        {"collection", "leagueInstallDir", "\"D:/Games/League\"", "1", "collection.leagueInstallDir must be a string",
         [](Config& c) { c.leagueInstallDir = "D:/Games/League"; }},
        {"collection", "riotRootCertFile", "\"riot.pem\"", "1", "collection.riotRootCertFile must be a string",
         [](Config& c) { c.riotRootCertFile = "riot.pem"; }},
        {"collection", "insecureLocalTls", "true", "1", "collection.insecureLocalTls must be true or false",
         [](Config& c) { c.insecureLocalTls = true; }},
        {"collection", "liveClientHost", "\"localhost\"", "1", "collection.liveClientHost must be a string",
         [](Config& c) { c.liveClientHost = "localhost"; }},
        {"collection", "captureDir", "\"/tmp/cap\"", "1", "collection.captureDir must be a string",
         [](Config& c) { c.captureDir = "/tmp/cap"; }},
        {"collection", "disabledEndpoints", "[\"/a\",7,\"/B\",null]", "\"/a\"",
         "collection.disabledEndpoints must be an array of strings",
         [](Config& c) {
             c.disabledEndpoints = {"/a", "", "/B", ""};
         }},
    };
    for (const TypedKey& k : keys) {
        SCOPED_TRACE(std::string(k.section) + "." + k.key);
        auto doc = [&](const char* value) {
            return std::string("{\"") + k.section + "\":{\"" + k.key + "\":" + value + "}}";
        };
        Outcome good = parse(doc(k.goodValue));
        ASSERT_TRUE(good.config.has_value()) << (good.errors.empty() ? "" : good.errors[0]);
        Config expected = parsedDefaults();
        k.apply(expected);
        EXPECT_EQ(*good.config, expected);
        EXPECT_TRUE(good.warnings.empty());

        Outcome bad = parse(doc(k.badValue));
        EXPECT_FALSE(bad.config.has_value());
        EXPECT_EQ(bad.errors, Strings{k.message});
    }
}

TEST(ParseConfig, EdgeCasesOfTheWholeRecord) {
    // Catches derived URL fields not filled, the flag ignored, an empty list not clearing, and
    // a valid id rejected.
    struct Case {
        const char* text;
        std::function<void(Config&)> apply;
    };
    const std::vector<Case> cases = {
        {R"({"server":{"url":"http://localhost:8080/","allowPlainHttpLoopback":true}})",
         [](Config& c) {
             c.url = "http://localhost:8080/";
             c.allowPlainHttpLoopback = true;
             c.https = false;
             c.host = "localhost";
             c.port = 8080;
             c.path = "";
         }},
        {R"({"server":{"url":"http://[::1]:9000","allowPlainHttpLoopback":true}})",
         [](Config& c) {
             c.url = "http://[::1]:9000";
             c.allowPlainHttpLoopback = true;
             c.https = false;
             c.host = "::1";
             c.port = 9000;
         }},
        {R"({"server":{"url":"http://127.0.0.1","allowPlainHttpLoopback":true}})",
         [](Config& c) {
             c.url = "http://127.0.0.1";
             c.allowPlainHttpLoopback = true;
             c.https = false;
             c.host = "127.0.0.1";
             c.port = 80;
         }},
        {R"({"server":{"url":""}})", [](Config&) {}},
        {R"({"collection":{"disabledEndpoints":[]}})", [](Config&) {}},
        {R"({"buffer":{"maxBytes":4294967296}})", [](Config& c) { c.maxBytes = 4294967296; }},
        {R"({"collector":{"id":"a.b:c_d-1"}})", [](Config& c) { c.id = "a.b:c_d-1"; }},
        {R"({"extra":{"x":1},"collection":{"profile":[1]}})", [](Config&) {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Outcome out = parse(c.text);
        ASSERT_TRUE(out.config.has_value()) << (out.errors.empty() ? "" : out.errors[0]);
        Config expected = parsedDefaults();
        c.apply(expected);
        EXPECT_EQ(*out.config, expected);
    }
}

TEST(ParseConfig, CollectorIdRule) {
    // Catches a length limit off by one and bytes outside the allowed set slipping through
    // (including UTF-8 letters, which are not ASCII letters).
    const std::string idError = "collector.id must be 1-128 characters of A-Z a-z 0-9 _ . : -";
    struct Case {
        std::string id;
        bool ok;
    };
    const std::vector<Case> cases = {
        {std::string(128, 'a'), true},
        {std::string(129, 'a'), false},
        {"a", true},
        {"AZaz09_.:-", true},
        {"a b", false},
        {"a/b", false},
        {"a\\\\b", false},
        {"caf\xc3\xa9", false},
        {"a@b", false},
        {"a\\u0000b", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Outcome out = parse(R"({"collector":{"id":")" + c.id + "\"}}");
        EXPECT_EQ(out.config.has_value(), c.ok);
        EXPECT_EQ(out.errors, c.ok ? Strings{} : Strings{idError});
    }
}

TEST(ParseUrl, Accepted) {
    // Catches a default port per scheme, brackets kept on IPv6 hosts, trailing slashes kept,
    // and a port split at the wrong colon.
    struct Case {
        const char* text;
        ParsedUrl expected;
    };
    const std::vector<Case> cases = {
        {"https://h", {true, "h", 443, ""}},
        {"http://h", {false, "h", 80, ""}},
        {"https://h/api/", {true, "h", 443, "/api"}},
        {"https://h/api///", {true, "h", 443, "/api"}},
        {"https://h///", {true, "h", 443, ""}},
        {"https://h/a/b", {true, "h", 443, "/a/b"}},
        {"https://h:1", {true, "h", 1, ""}},
        {"https://h:65535/x", {true, "h", 65535, "/x"}},
        {"https://h:00080", {true, "h", 80, ""}},
        {"http://localhost:8080/", {false, "localhost", 8080, ""}},
        {"http://[::1]:9000", {false, "::1", 9000, ""}},
        {"https://[fe80::1%25eth0]/p", {true, "fe80::1%25eth0", 443, "/p"}},
        {"https://[::1]", {true, "::1", 443, ""}},
        {"https://[::1]x:5", {true, "::1", 443, ""}},
        {"https://a:b:8443", {true, "a:b", 8443, ""}},
        {"https://H.Example.COM", {true, "H.Example.COM", 443, ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error = "untouched";
        auto url = parseUrl(c.text, &error);
        ASSERT_TRUE(url.has_value()) << error;
        EXPECT_EQ(*url, c.expected);
    }
}

TEST(ParseUrl, RejectedWithTheirMessage) {
    // Catches each rule's message, case-insensitive schemes, overflow past 65535 and the
    // order of the checks.
    struct Case {
        std::string text;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"ftp://h", "URL must start with https:// or http://"},
        {"HTTPS://h", "URL must start with https:// or http://"},
        {"Http://h", "URL must start with https:// or http://"},
        {"https:/h", "URL must start with https:// or http://"},
        {"", "URL must start with https:// or http://"},
        {" https://h", "URL must start with https:// or http://"},
        {"https://", "URL has no host"},
        {"https:///path", "URL has no host"},
        {"http://:8080", "URL has no host"},
        {"https://[]", "URL has no host"},
        {"https://user@h", "credentials in URLs are not supported"},
        {"https://user:pw@h:1/x", "credentials in URLs are not supported"},
        {"https://[::1", "bad IPv6 literal"},
        {"https://[::1/x]", "bad IPv6 literal"},
        {"https://h:0", "bad port"},
        {"https://h:65536", "bad port"},
        {"https://h:99999999999999999999999", "bad port"},
        {"https://h:", "bad port"},
        {"https://h:-1", "bad port"},
        {"https://h:8a", "bad port"},
        {"https://h: 80", "bad port"},
        {"https://[::1]:", "bad port"},
        {"https://[::1]:0", "bad port"},
        {"https://h/x?y=1", "URL must not contain a query"},
        {"https://h/x#top", "URL must not contain a query"},
        {"https://h/?", "URL must not contain a query"},
        {"https://h?y=1", "URL must not contain a query"},
        {"https://h#f", "URL must not contain a query"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(parseUrl(c.text, &error).has_value());
        EXPECT_EQ(error, c.message);
        // The error pointer is optional.
        EXPECT_FALSE(parseUrl(c.text).has_value());
    }
}

TEST(EndpointEnabled, ExactCaseSensitiveMatch) {
    Config config = defaultConfig();
    EXPECT_TRUE(endpointEnabled(config, "/lol-gameflow/v1/gameflow-phase"));
    config.disabledEndpoints = {"/lol-gameflow/v1/gameflow-phase", "/liveclientdata/eventdata"};
    struct Case {
        const char* path;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {"/lol-gameflow/v1/gameflow-phase", false},
        {"/liveclientdata/eventdata", false},
        {"/LOL-GAMEFLOW/v1/gameflow-phase", true},
        {"/lol-gameflow/v1/gameflow-phase/", true},
        {"/lol-gameflow/v1", true},
        {"", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(endpointEnabled(config, c.path), c.enabled);
    }
}

class LoadConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        auto base = std::filesystem::temp_directory_path() / ("parlow-config-" + randomHex(6));
        std::u8string text = base.u8string();
        folder_ = std::string(text.begin(), text.end());
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(std::u8string(folder_.begin(), folder_.end())), ignored);
    }
    std::string folder_;
};

TEST_F(LoadConfigFile, ReadsParsesOrNamesTheUnreadablePath) {
    std::string good = joinPath(folder_, "collector.json");
    ASSERT_TRUE(writeFileAtomically(good, R"({"collector":{"name":"den"},"other":1})"));
    Strings errors, warnings;
    auto config = loadConfigFile(good, errors, warnings);
    ASSERT_TRUE(config.has_value());
    Config expected = parsedDefaults();
    expected.name = "den";
    EXPECT_EQ(*config, expected);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(warnings, Strings{"unknown section other (ignored)"});

    std::string bad = joinPath(folder_, "bad.json");
    ASSERT_TRUE(writeFileAtomically(bad, R"({"buffer":{"maxAgeSeconds":"x"}})"));
    errors.clear();
    warnings.clear();
    EXPECT_FALSE(loadConfigFile(bad, errors, warnings).has_value());
    EXPECT_EQ(errors, Strings{"buffer.maxAgeSeconds must be an integer between 10 and 604800"});

    for (const std::string& missing :
         {joinPath(folder_, "missing.json"), joinPath(folder_, "n\xc3\xa9/x.json"), folder_}) {
        SCOPED_TRACE(missing);
        errors.clear();
        warnings.clear();
        EXPECT_FALSE(loadConfigFile(missing, errors, warnings).has_value());
        EXPECT_EQ(errors, Strings{"cannot read configuration file " + missing});
        EXPECT_TRUE(warnings.empty());
    }
}

}  // namespace
}  // namespace vornet
