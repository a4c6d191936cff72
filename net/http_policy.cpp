#include "net/http_policy.h"

#include <cstdio>

#include "core/text.h"

namespace vornet {

std::optional<TransportFailure> checkRequestPolicy(const HttpRequest& request) {
    const bool loopback = isLoopbackHost(request.host);
    if (request.tlsMode == TlsMode::Insecure && !loopback) return TransportFailure{kErrInsecureNotLoopback};
    if (!request.https && !loopback) return TransportFailure{kErrPlainNotLoopback};
    if (usesPinnedRoots(request) && request.pinnedRoots.empty()) return TransportFailure{kErrNoPinnedRoot};
    return std::nullopt;
}

bool usesPinnedRoots(const HttpRequest& request) {
    return request.https && request.tlsMode == TlsMode::PinnedRoots;
}

bool checksHostName(const HttpRequest& request) {
    if (!request.https || request.tlsMode == TlsMode::Insecure) return false;
    if (request.tlsMode == TlsMode::PinnedRoots && request.allowLoopbackNameMismatch && isLoopbackHost(request.host))
        return false;
    return true;
}

HttpResponse failedResponse(std::string error, bool tlsFailure) {
    HttpResponse response;
    response.error = std::move(error);
    response.tlsFailure = tlsFailure;
    return response;
}

HttpResponse failedResponse(const TransportFailure& failure) {
    return failedResponse(failure.error, failure.tlsFailure);
}

std::string truncatedError(const std::string& readError) {
    if (readError.empty()) return kErrTruncated;
    return std::string(kErrTruncated) + ": " + readError;
}

std::optional<std::string> judgeChain(const ChainFacts& facts, const HttpRequest& request) {
    if (!facts.built || facts.top.empty()) return kReasonNoChain;
    bool pinned = false;
    for (const std::string& root : request.pinnedRoots) {
        if (root == facts.top) {
            pinned = true;
            break;
        }
    }
    if (!pinned) return kReasonNotChained;
    // Towards loopback the server is the game client, whose leaf key ships with every install:
    // its validity dates prove nothing (the vendor's leaf lapsed in January 2026 and every
    // install served it until an update came), while the pinned root proves the vendor. Every
    // other server keeps its date check.
    if (facts.timeInvalid && !isLoopbackHost(request.host)) return kReasonTimeInvalid;
    if (facts.otherErrors != 0) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(facts.otherErrors));
        return std::string("certificate chain error 0x") + hex;
    }
    return std::nullopt;
}

std::optional<TransportFailure> firstContactFailure(const ProbeOutcome& outcome) {
    if (outcome.prepareFailure) return TransportFailure{outcome.prepareFailure->error, false};
    if (outcome.checked && !outcome.rejected) return std::nullopt;
    if (outcome.rejected) return TransportFailure{kErrRejectedPrefix + outcome.reason, true};
    if (outcome.probeFailure) return TransportFailure{outcome.probeFailure->error, true};
    return TransportFailure{kErrNotChecked, true};
}

std::string VerifiedPairs::key(const HttpRequest& request) {
    return request.host + ":" + std::to_string(request.port);
}

bool VerifiedPairs::contains(const std::string& key) const {
    std::lock_guard<std::mutex> guard(lock_);
    return pairs_.count(key) != 0;
}

void VerifiedPairs::add(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    pairs_.insert(key);
}

void VerifiedPairs::remove(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    pairs_.erase(key);
}

std::optional<std::string> TextMessageAssembler::add(Frame kind, std::string_view data, bool final) {
    if (kind == Frame::Binary) {
        pending_.clear();
        dropping_ = false;
        return std::nullopt;
    }
    if (!dropping_) {
        pending_.append(data);
        if (pending_.size() > kMaxMessageBytes) {
            // The rest of an oversized message is skipped too: delivering its tail as if it
            // were a whole message would hand the caller a corrupt document.
            pending_.clear();
            pending_.shrink_to_fit();
            dropping_ = true;
        }
    }
    if (!final) return std::nullopt;
    if (dropping_) {
        dropping_ = false;
        return std::nullopt;
    }
    std::string message;
    message.swap(pending_);
    return message;
}

}  // namespace vornet
