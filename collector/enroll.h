// Joining the aggregator: the certificate settings for every request to it, and the blocking
// enroll exchange that trades an invite code for a collector id and a bearer token.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/http_client.h"

namespace vornet {

// Certificate settings for the aggregator (enrollment and uploads).
struct ServerTls {
    TlsMode tlsMode = TlsMode::System;
    std::vector<std::string> pinnedRoots;  // DER
    bool allowLoopbackNameMismatch = false;
};

// Outcome of one enroll exchange; the comment says what the caller does next.
enum class EnrollOutcome : std::int32_t {
    Enrolled = 0,      // store the token and start collecting
    CodeRejected = 1,  // 400/404/409/410: the code is wrong or used up; ask for another
    Unreachable = 2,   // no HTTP answer at all; the user may retry later
    Failed = 3,        // configuration trouble, an unexpected status or an unusable answer
    RateLimited = 4,   // 429: retry later
};

struct EnrollResult {
    EnrollOutcome outcome = EnrollOutcome::Failed;
    std::string collectorId;  // filled on success
    std::string token;        // filled on success
    std::string message;      // why it failed; empty on success
};

// Settings from server.caFile: the system store when it is empty, otherwise its PEM
// certificates as pinned roots. Sets `error` when the file yields no certificate.
ServerTls serverTlsSettings(const Config& config, std::string& error);

// The JSON body of an enroll request: the trimmed code, and the id when it is not empty.
std::string enrollRequestBody(const std::string& code, const std::string& collectorId);

// The largest enroll answer parsed; a larger one counts as an answer without a body.
inline constexpr std::size_t kMaxEnrollAnswerBytes = 1048576;
// Turns the aggregator's answer to an enroll request into a result (no I/O).
EnrollResult interpretEnrollResponse(const HttpResponse& response);

// Posts the code to the server path + "/v1/enroll" through `client` and interprets the
// answer. Blocks for up to 15 s; never throws for transport or server problems.
EnrollResult enroll(const Config& config, HttpClient& client, const std::string& code,
                    const std::string& collectorId);

}  // namespace vornet
