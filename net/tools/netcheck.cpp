// netcheck: one request through the Windows transport with the settings given on the command
// line, printing the response record. Used to diagnose a user's network from a support report
// (proxy in the way, TLS interception, a root that does not match).
//
//   netcheck <url> [--method M] [--tls system|pinned|insecure] [--root file.pem]
//            [--proxy] [--timeout ms] [--header "Name: value"]... [--body text]
//            [--allow-name-mismatch] [--websocket]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/text.h"
#include "net/http_client.h"

namespace {

struct Target {
    bool https = true;
    std::string host;
    int port = 0;
    std::string path = "/";
};

bool splitUrl(const std::string& url, Target& out, std::string& error) {
    std::string rest;
    if (url.rfind("https://", 0) == 0 || url.rfind("wss://", 0) == 0) {
        out.https = true;
        rest = url.substr(url.find("://") + 3);
    } else if (url.rfind("http://", 0) == 0 || url.rfind("ws://", 0) == 0) {
        out.https = false;
        rest = url.substr(url.find("://") + 3);
    } else {
        error = "the URL must start with http://, https://, ws:// or wss://";
        return false;
    }
    std::size_t slash = rest.find_first_of("/?");
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos) {
        out.path = rest.substr(slash);
        if (out.path[0] == '?') out.path = "/" + out.path;
    }
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string::npos) {
            error = "unclosed '[' in the host";
            return false;
        }
        out.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                error = "unexpected text after the host";
                return false;
            }
            portText = authority.substr(close + 2);
        }
    } else {
        std::size_t colon = authority.rfind(':');
        out.host = authority.substr(0, colon);
        if (colon != std::string::npos) portText = authority.substr(colon + 1);
    }
    if (out.host.empty()) {
        error = "the URL has no host";
        return false;
    }
    out.port = out.https ? 443 : 80;
    if (!portText.empty()) {
        char* end = nullptr;
        long port = std::strtol(portText.c_str(), &end, 10);
        if (*end != '\0' || port < 1 || port > 65535) {
            error = "bad port '" + portText + "'";
            return false;
        }
        out.port = static_cast<int>(port);
    }
    return true;
}

std::string printable(const std::string& bytes, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

int usage(const char* message) {
    if (message) std::fprintf(stderr, "netcheck: %s\n", message);
    std::fprintf(stderr,
                 "usage: netcheck <url> [--method M] [--tls system|pinned|insecure] [--root file.pem]\n"
                 "                [--proxy] [--timeout ms] [--header \"Name: value\"]... [--body text]\n"
                 "                [--allow-name-mismatch] [--websocket]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage(nullptr);
    vornet::HttpRequest request;
    Target target;
    std::string error;
    if (!splitUrl(argv[1], target, error)) return usage(error.c_str());
    request.https = target.https;
    request.host = target.host;
    request.port = target.port;
    request.path = target.path;
    bool webSocket = false;
    std::string rootFile;

    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--method") {
            const char* v = value();
            if (!v) return usage("--method needs a value");
            request.method = v;
        } else if (arg == "--tls") {
            const char* v = value();
            std::string mode = v ? v : "";
            if (mode == "system") request.tlsMode = vornet::TlsMode::System;
            else if (mode == "pinned") request.tlsMode = vornet::TlsMode::PinnedRoots;
            else if (mode == "insecure") request.tlsMode = vornet::TlsMode::Insecure;
            else return usage("--tls takes system, pinned or insecure");
        } else if (arg == "--root") {
            const char* v = value();
            if (!v) return usage("--root needs a file");
            rootFile = v;
        } else if (arg == "--proxy") {
            request.useProxy = true;
        } else if (arg == "--timeout") {
            const char* v = value();
            char* end = nullptr;
            unsigned long ms = v ? std::strtoul(v, &end, 10) : 0;
            if (!v || *end != '\0' || ms == 0 || ms > 0xffffffffUL) return usage("--timeout takes milliseconds");
            request.timeoutMs = static_cast<std::uint32_t>(ms);
        } else if (arg == "--header") {
            const char* v = value();
            std::string header = v ? v : "";
            std::size_t colon = header.find(':');
            if (colon == std::string::npos || colon == 0) return usage("--header takes \"Name: value\"");
            request.headers.emplace_back(header.substr(0, colon), vornet::trimAscii(header.substr(colon + 1)));
        } else if (arg == "--body") {
            const char* v = value();
            if (!v) return usage("--body needs a value");
            request.body = v;
        } else if (arg == "--allow-name-mismatch") {
            request.allowLoopbackNameMismatch = true;
        } else if (arg == "--websocket") {
            webSocket = true;
        } else {
            return usage(("unknown option " + arg).c_str());
        }
    }
    if (!rootFile.empty()) {
        std::ifstream in(rootFile, std::ios::binary);
        if (!in) return usage(("cannot read " + rootFile).c_str());
        std::stringstream pem;
        pem << in.rdbuf();
        request.pinnedRoots = vornet::pemCertificates(pem.str());
        if (request.pinnedRoots.empty()) return usage(("no certificate in " + rootFile).c_str());
        if (request.tlsMode == vornet::TlsMode::System) request.tlsMode = vornet::TlsMode::PinnedRoots;
    }

    const char* modes[] = {"system", "pinned", "insecure"};
    std::printf("request: %s %s://%s:%d%s tls=%s roots=%zu proxy=%s timeoutMs=%u headers=%zu body=%zu\n",
                webSocket ? "WEBSOCKET" : request.method.c_str(), request.https ? "https" : "http",
                request.host.c_str(), request.port, request.path.c_str(),
                modes[static_cast<int>(request.tlsMode)], request.pinnedRoots.size(),
                request.useProxy ? "on" : "off", request.timeoutMs, request.headers.size(), request.body.size());

    auto client = vornet::createHttpClient(vornet::kUserAgent);
    auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    };
    if (webSocket) {
        auto socket = client->connectWebSocket(request);
        std::printf("websocket: %s\nerror: %s\nelapsedMs: %lld\n", socket ? "open" : "failed",
                    socket ? "" : socket.failure().error.c_str(), static_cast<long long>(elapsed()));
        if (socket) socket.value()->close();
        return socket ? 0 : 1;
    }
    vornet::HttpResponse response = client->request(request);
    std::printf("status: %d\nerror: %s\ntlsFailure: %s\nbodyBytes: %zu\nfirstBytes: %s\nelapsedMs: %lld\n",
                response.status, response.error.c_str(), response.tlsFailure ? "true" : "false",
                response.body.size(), printable(response.body, 200).c_str(), static_cast<long long>(elapsed()));
    return response.status != 0 ? 0 : 1;
}
