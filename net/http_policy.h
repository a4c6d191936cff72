// Rules every transport shares: the loopback policy, the size limits, the error vocabulary,
// the pinned-root verdict, the first-contact verdict with its verified host:port set, and
// WebSocket message assembly. Platform transports supply only the native facts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "net/http_client.h"

namespace vornet {

inline constexpr std::size_t kReadChunkBytes = 65536;
inline constexpr std::size_t kMaxResponseBytes = 67108864;  // exactly this much is still accepted
inline constexpr std::size_t kMaxMessageBytes = 33554432;

// Transport failure texts. The caller retries those marked retryable on its own schedule;
// a tlsFailure is reported apart from plain unreachability.
inline constexpr const char* kErrTimedOut = "timed out";
inline constexpr const char* kErrNotResolved = "host name not resolved";
inline constexpr const char* kErrCancelled = "request cancelled";
inline constexpr const char* kErrRefused = "connection refused";
inline constexpr const char* kErrReset = "connection reset";
inline constexpr const char* kErrTlsValidation = "TLS certificate validation failed";
inline constexpr const char* kErrTooLarge = "response too large";
inline constexpr const char* kErrTruncated = "response truncated";
inline constexpr const char* kErrInsecureNotLoopback = "insecure TLS is only permitted for loopback addresses";
inline constexpr const char* kErrPlainNotLoopback = "plain HTTP is only permitted for loopback addresses";
inline constexpr const char* kErrNoPinnedRoot = "no pinned root certificate configured";
inline constexpr const char* kErrRejectedPrefix = "TLS certificate rejected: ";
inline constexpr const char* kErrNotCheckedAgainstPin = "TLS certificate could not be checked against the pinned root";
inline constexpr const char* kErrNotChecked = "TLS certificate could not be checked";

// Reasons of a pinned-root rejection.
inline constexpr const char* kReasonNoCertificate = "server certificate unavailable";
inline constexpr const char* kReasonNotChained = "certificate does not chain to the configured root";
inline constexpr const char* kReasonTimeInvalid = "certificate expired or not yet valid";
inline constexpr const char* kReasonNoStore = "cannot create certificate store";
inline constexpr const char* kReasonNoChain = "cannot build certificate chain";

// The loopback checks, in their fixed order; the failure of the first that fails.
std::optional<TransportFailure> checkRequestPolicy(const HttpRequest& request);

// True when the request is judged against pinned roots (and so needs the first-contact check).
bool usesPinnedRoots(const HttpRequest& request);
// True when the certificate's host name must match request.host.
bool checksHostName(const HttpRequest& request);

HttpResponse failedResponse(std::string error, bool tlsFailure = false);
HttpResponse failedResponse(const TransportFailure& failure);

// "response truncated" alone, or with ": " and the failed read's error text.
std::string truncatedError(const std::string& readError);

// What a chain builder found for one server certificate after building its chain with the
// pinned roots as extra trust anchors.
struct ChainFacts {
    bool built = false;             // false: the chain engine failed or produced nothing
    std::string top;                // DER of the chain's last certificate
    bool timeInvalid = false;       // some certificate is expired or not yet valid
    std::uint64_t otherErrors = 0;  // anything else, in the platform's own code (0: none)
};
// Nothing when accepted, else the rejection reason.
std::optional<std::string> judgeChain(const ChainFacts& facts, const HttpRequest& request);

// Outcome of the first-contact probe, as the platform observed it.
struct ProbeOutcome {
    std::optional<TransportFailure> prepareFailure;  // the probe could not even be prepared
    bool checked = false;                            // the pinned-root check looked at a certificate
    bool rejected = false;
    std::string reason;
    std::optional<TransportFailure> probeFailure;  // the probe's own transport failure, if any
};
// Empty when the pair is now proven, else the caller's failure.
std::optional<TransportFailure> firstContactFailure(const ProbeOutcome& outcome);

// host + ":" + decimal port pairs whose pinned root has been proven. Its lock guards only the
// set and is never held during network activity.
class VerifiedPairs {
public:
    static std::string key(const HttpRequest& request);
    bool contains(const std::string& key) const;
    void add(const std::string& key);
    void remove(const std::string& key);

private:
    mutable std::mutex lock_;
    std::set<std::string> pairs_;
};

// Builds text messages out of received frames; binary data is never delivered.
class TextMessageAssembler {
public:
    enum class Frame { Text, Binary };
    // One data frame (or fragment); returns the message when `final` completes a text one.
    std::optional<std::string> add(Frame kind, std::string_view data, bool final);
    // Frames of an oversized message that was dropped are skipped until its final frame.
    std::size_t pendingBytes() const { return pending_.size(); }

private:
    std::string pending_;
    bool dropping_ = false;
};

}  // namespace vornet
