#include "net/proxy_env_posix.h"

#include "core/text.h"

namespace vornet {

bool noProxyMatches(std::string_view list, const std::string& host) {
    const std::string lowerHost = asciiLower(host);
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string entry = asciiLower(trimAscii(list.substr(start, end - start)));
        start = end + 1;
        if (entry == "*") return true;
        if (entry.rfind("*.", 0) == 0) entry.erase(0, 1);
        if (!entry.empty() && entry.front() != '.' && entry.front() != '[') {
            std::size_t colon = entry.find(':');
            if (colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos) entry.resize(colon);
        }
        if (entry.empty()) continue;
        if (entry.front() == '.') {
            if (lowerHost.size() > entry.size() &&
                lowerHost.compare(lowerHost.size() - entry.size(), entry.size(), entry) == 0)
                return true;
            if (lowerHost == entry.substr(1)) return true;
        } else if (lowerHost == entry ||
                   (lowerHost.size() > entry.size() &&
                    lowerHost.compare(lowerHost.size() - entry.size(), entry.size(), entry) == 0 &&
                    lowerHost[lowerHost.size() - entry.size() - 1] == '.')) {
            return true;
        }
    }
    return false;
}

std::optional<ProxyTarget> parseProxyValue(std::string_view value) {
    std::string text = trimAscii(value);
    if (std::size_t scheme = text.find("://"); scheme != std::string::npos) text.erase(0, scheme + 3);
    if (std::size_t slash = text.find('/'); slash != std::string::npos) text.resize(slash);
    if (std::size_t at = text.rfind('@'); at != std::string::npos) text.erase(0, at + 1);
    ProxyTarget target;
    target.port = "80";
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string::npos) return std::nullopt;
        target.host = text.substr(1, close - 1);
        if (close + 1 < text.size() && text[close + 1] == ':') target.port = text.substr(close + 2);
    } else if (std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        target.host = text.substr(0, colon);
        target.port = text.substr(colon + 1);
    } else {
        target.host = text;
    }
    if (target.host.empty()) return std::nullopt;
    return target;
}

namespace {

bool bypassesProxy(const std::string& host) {
    auto list = getEnv("no_proxy");
    if (!list || list->empty()) list = getEnv("NO_PROXY");
    if (!list) return false;
    return noProxyMatches(*list, host);
}

}  // namespace

std::optional<ProxyTarget> proxyFor(const HttpRequest& request) {
    if (!request.useProxy) return std::nullopt;
    std::optional<std::string> value;
    if (request.https) {
        value = getEnv("https_proxy");
        if (!value || value->empty()) value = getEnv("HTTPS_PROXY");
    } else {
        value = getEnv("http_proxy");
    }
    if (!value || trimAscii(*value).empty() || bypassesProxy(request.host)) return std::nullopt;
    return parseProxyValue(*value);
}

}  // namespace vornet
