// Which proxy a request on POSIX goes through, from the environment as curl and most command
// line tools read it: https_proxy/HTTPS_PROXY for TLS, http_proxy for plain HTTP (the
// upper-case form is not trusted there, since CGI servers set HTTP_PROXY from a request
// header), and no_proxy/NO_PROXY naming hosts that go direct.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/http_client.h"

namespace vornet {

struct ProxyTarget {
    std::string host;  // without brackets for an IPv6 literal
    std::string port;  // "80" when the value names none
};

// True when `noProxy` (a comma-separated no_proxy list) names `host`: "*", a domain with or
// without a leading "." or "*." (which also covers its subdomains), an entry's ":port" ignored.
bool noProxyMatches(std::string_view noProxy, const std::string& host);

// The host and port of a proxy variable's value ("http://user@host:port/" and shorter forms);
// nothing when it names no host.
std::optional<ProxyTarget> parseProxyValue(std::string_view value);

// The proxy for this request under the current environment; nothing when it goes direct.
std::optional<ProxyTarget> proxyFor(const HttpRequest& request);

}  // namespace vornet
