#include "collector/enroll.h"

#include <exception>
#include <optional>

#include "core/files.h"
#include "core/json.h"
#include "core/text.h"

namespace vornet {

ServerTls serverTlsSettings(const Config& config, std::string& error) {
    ServerTls tls;
    if (config.caFile.empty()) {
        return tls;
    }
    std::vector<std::string> roots;
    try {
        // Validates the path text first; a path that cannot name a file is an unreadable file.
        utf8ToPath(config.caFile);
        if (std::optional<std::string> pem = readWholeFile(config.caFile)) {
            roots = pemCertificates(*pem);
        }
    } catch (const std::exception&) {
        // Enrollment runs on a worker thread; a bad path must end as a message, not a throw.
        roots.clear();
    }
    if (roots.empty()) {
        error = "server.caFile contains no PEM certificate: " + config.caFile;
    }
    tls.tlsMode = TlsMode::PinnedRoots;
    tls.pinnedRoots = std::move(roots);
    return tls;
}

std::string enrollRequestBody(const std::string& code, const std::string& collectorId) {
    JsonValue body = JsonValue::object();
    body.set("code", JsonValue(trimAscii(code)));
    if (!collectorId.empty()) {
        body.set("collectorId", JsonValue(collectorId));
    }
    return writeJson(body);
}

EnrollResult interpretEnrollResponse(const HttpResponse& response) {
    EnrollResult result;
    if (response.status == 0) {
        result.outcome = EnrollOutcome::Unreachable;
        result.message = response.error;
        return result;
    }
    // The enroll answer carries two short texts: a larger one is not parsed at all.
    const std::optional<JsonValue> body =
        response.body.size() <= kMaxEnrollAnswerBytes ? parseJson(response.body) : std::optional<JsonValue>();
    if (response.status == 201 && body) {
        std::string collectorId = body->getString("collectorId", "");
        std::string token = body->getString("token", "");
        if (!collectorId.empty() && !token.empty()) {
            result.outcome = EnrollOutcome::Enrolled;
            result.collectorId = std::move(collectorId);
            result.token = std::move(token);
        } else {
            result.message = "enrollment response without collectorId or token";
        }
        return result;
    }
    result.message = "HTTP " + std::to_string(response.status);
    if (body) {
        if (const JsonValue* error = body->find("error")) {
            result.message += ' ';
            result.message += error->getString("code", "");
        }
    }
    switch (response.status) {
        case 400:
        case 404:
        case 409:
        case 410:
            result.outcome = EnrollOutcome::CodeRejected;
            break;
        case 429:
            result.outcome = EnrollOutcome::RateLimited;
            break;
        default:
            break;
    }
    return result;
}

EnrollResult enroll(const Config& config, HttpClient& client, const std::string& code,
                    const std::string& collectorId) {
    EnrollResult result;
    std::string tlsError;
    ServerTls tls = serverTlsSettings(config, tlsError);
    if (!tlsError.empty()) {
        result.message = std::move(tlsError);
        return result;
    }
    HttpRequest request;
    request.method = "POST";
    request.https = config.https;
    request.host = config.host;
    request.port = static_cast<std::int32_t>(config.port);
    request.path = config.path + "/v1/enroll";
    request.timeoutMs = 15000;
    request.tlsMode = tls.tlsMode;
    request.pinnedRoots = std::move(tls.pinnedRoots);
    request.allowLoopbackNameMismatch = tls.allowLoopbackNameMismatch;
    request.useProxy = !isLoopbackHost(config.host);
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = enrollRequestBody(code, collectorId);
    return interpretEnrollResponse(client.request(request));
}

}  // namespace vornet
