// One upload step: take a batch, wrap and compress it, post it to the ingest endpoint with the
// bearer token, and settle the batch by the answer. The collector owns everything the step
// touches and lends it through UploadContext.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "collector/buffer.h"
#include "collector/enroll.h"
#include "config/config.h"
#include "net/http_client.h"

namespace vornet {

// What one acknowledged batch cost and what the aggregator now counts for this collector.
struct UploadResult {
    std::uint64_t uploadedBytes = 0;  // request body as sent (compressed when it was)
    std::uint64_t rawBytes = 0;       // envelope before compression
    std::optional<CollectorTotals> totals;
};

using UploadCallback = std::function<void(const UploadResult&)>;

// Bodies from this size on are gzipped when server.gzip is on.
inline constexpr std::size_t kGzipThreshold = 512;

// The collector's parts the upload step uses, by reference; all must outlive the context.
struct UploadContext {
    ObservationBuffer& buffer;
    HttpClient& client;
    const Config& config;
    const ServerTls& serverTls;  // prepared once when the collector is built
    const std::string& token;
    const std::string& bootId;
    std::function<std::int64_t()> wallNowMs;
    std::atomic<std::uint32_t>& authFailures;  // 401/403 answers since the last acknowledgement
    // Replaces the collector's last error; the collector takes its status lock inside.
    std::function<void(const std::string&)> setLastError;
    // A copy of the upload callback, taken under the collector's callback lock (may be empty).
    std::function<UploadCallback()> uploadCallback;
};

// The ingest request for one envelope: headers, compression and TLS settings included.
HttpRequest buildUploadRequest(const Config& config, const ServerTls& tls, const std::string& token,
                               const std::string& envelope);

// True when a batch was taken (whatever became of it); false when nothing was due. Every
// path settles the batch exactly once before returning.
bool uploadOnce(UploadContext& context);

}  // namespace vornet
