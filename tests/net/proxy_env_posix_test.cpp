#include "net/proxy_env_posix.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <optional>
#include <string>

namespace vornet {
namespace {

// Catches a suffix matched without a dot boundary (so "notexample.com" would bypass), a
// wildcard or leading-dot form not covering the domain itself, case mattering, an entry's port
// or surrounding spaces spoiling the match, and empty entries matching everything.
TEST(ProxyEnv, NoProxyList) {
    struct Case {
        const char* list;
        const char* host;
        bool bypass;
    };
    const Case cases[] = {
        {"", "example.com", false},
        {"*", "anything.test", true},
        {"example.com", "example.com", true},
        {"example.com", "api.example.com", true},
        {"example.com", "notexample.com", false},
        {".example.com", "example.com", true},
        {".example.com", "a.b.example.com", true},
        {".example.com", "xexample.com", false},
        {"*.example.com", "example.com", true},
        {"*.example.com", "api.example.com", true},
        {"EXAMPLE.com", "Api.Example.COM", true},
        {" other.test , example.com ", "example.com", true},
        {"example.com:8443", "example.com", true},
        {",,", "example.com", false},
        {"other.test", "example.com", false},
        {"127.0.0.1", "127.0.0.1", true},
        {"[::1]", "::1", false},  // bracketed entries are compared as written
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.list) + " / " + c.host);
        EXPECT_EQ(noProxyMatches(c.list, c.host), c.bypass);
    }
}

// Catches a scheme, user information or path left in the host, the default port missing, an
// IPv6 literal split at one of its own colons, and a value naming no host taken as one.
TEST(ProxyEnv, ProxyValue) {
    struct Case {
        const char* value;
        std::optional<ProxyTarget> target;
    };
    const Case cases[] = {
        {"proxy.test:3128", ProxyTarget{"proxy.test", "3128"}},
        {"http://proxy.test:3128/", ProxyTarget{"proxy.test", "3128"}},
        {"  http://proxy.test  ", ProxyTarget{"proxy.test", "80"}},
        {"http://user:p@ss@proxy.test:8080/path", ProxyTarget{"proxy.test", "8080"}},
        {"[::1]:3128", ProxyTarget{"::1", "3128"}},
        {"http://[fe80::2]/", ProxyTarget{"fe80::2", "80"}},
        {"[::1", std::nullopt},
        {"http://", std::nullopt},
        {":3128", std::nullopt},
        {"user@", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const auto target = parseProxyValue(c.value);
        ASSERT_EQ(target.has_value(), c.target.has_value());
        if (target) {
            EXPECT_EQ(target->host, c.target->host);
            EXPECT_EQ(target->port, c.target->port);
        }
    }
}

// Sets the proxy variables for one case and restores what was there before.
class ProxyVariables {
public:
    explicit ProxyVariables(const std::map<std::string, std::string>& values) {
        for (const char* name : kNames) {
            if (const char* old = getenv(name)) saved_[name] = old;
            unsetenv(name);
        }
        for (const auto& [name, value] : values) setenv(name.c_str(), value.c_str(), 1);
    }
    ~ProxyVariables() {
        for (const char* name : kNames) unsetenv(name);
        for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    }

private:
    static constexpr const char* kNames[] = {"https_proxy", "HTTPS_PROXY", "http_proxy",
                                             "HTTP_PROXY",  "no_proxy",    "NO_PROXY"};
    std::map<std::string, std::string> saved_;
};

// Catches the wrong variable for the scheme, the lower-case form not winning, HTTP_PROXY
// trusted for plain HTTP, no_proxy ignored (or NO_PROXY read although no_proxy is set), and a
// proxy used for a request that did not ask for one.
TEST(ProxyEnv, VariablesForARequest) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> env;
        bool https;
        bool useProxy;
        const char* expectedHost;  // nullptr: direct
    };
    const Case cases[] = {
        {"https uses https_proxy", {{"https_proxy", "lower:1"}, {"http_proxy", "plain:2"}}, true, true, "lower"},
        {"lower case wins", {{"https_proxy", "lower:1"}, {"HTTPS_PROXY", "upper:1"}}, true, true, "lower"},
        {"upper case when lower is empty", {{"https_proxy", ""}, {"HTTPS_PROXY", "upper:1"}}, true, true, "upper"},
        {"plain uses http_proxy", {{"https_proxy", "tls:1"}, {"http_proxy", "plain:2"}}, false, true, "plain"},
        {"HTTP_PROXY is not trusted", {{"HTTP_PROXY", "upper:2"}}, false, true, nullptr},
        {"blank value", {{"https_proxy", "   "}}, true, true, nullptr},
        {"not asked for", {{"https_proxy", "lower:1"}}, true, false, nullptr},
        {"no_proxy names the host", {{"https_proxy", "p:1"}, {"no_proxy", "example.com"}}, true, true, nullptr},
        {"NO_PROXY when no_proxy is unset",
         {{"https_proxy", "p:1"}, {"NO_PROXY", ".example.com"}},
         true,
         true,
         nullptr},
        {"no_proxy wins over NO_PROXY",
         {{"https_proxy", "p:1"}, {"no_proxy", "other.test"}, {"NO_PROXY", "example.com"}},
         true,
         true,
         "p"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProxyVariables variables(c.env);
        HttpRequest request;
        request.host = "api.example.com";
        request.https = c.https;
        request.useProxy = c.useProxy;
        const auto target = proxyFor(request);
        if (!c.expectedHost) {
            EXPECT_FALSE(target.has_value());
        } else {
            ASSERT_TRUE(target.has_value());
            EXPECT_EQ(target->host, c.expectedHost);
        }
    }
}

}  // namespace
}  // namespace vornet
