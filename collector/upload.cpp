#include "collector/upload.h"

#include <algorithm>
#include <exception>
#include <new>

#include "collector/envelope.h"
#include "collector/gzip.h"
#include "core/text.h"
#include "core/utf.h"

namespace vornet {

namespace {

// At most `limit` bytes of the start of an answer body, as valid UTF-8 (invalid sequences become
// U+FFFD) cut on a character boundary: the text goes on to the status file, the support text
// and the page, which all expect UTF-8.
std::string quotedBody(const std::string& body, std::size_t limit) {
    // A character that starts before `limit` ends within three more bytes.
    const std::string_view head(body.data(), std::min(body.size(), limit + 3));
    std::string text = utf::encodeUtf8(utf::decodeUtf8(head, false).value_or(std::u16string()));
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

}  // namespace

HttpRequest buildUploadRequest(const Config& config, const ServerTls& tls, const std::string& token,
                               const std::string& envelope) {
    HttpRequest request;
    request.method = "POST";
    request.https = config.https;
    request.host = config.host;
    request.port = static_cast<std::int32_t>(config.port);
    request.path = config.path + "/v1/ingest/observations";
    request.timeoutMs = 10000;
    request.tlsMode = tls.tlsMode;
    request.pinnedRoots = tls.pinnedRoots;
    request.allowLoopbackNameMismatch = tls.allowLoopbackNameMismatch;
    request.useProxy = !isLoopbackHost(config.host);
    request.headers.emplace_back("Content-Type", "application/json");
    request.headers.emplace_back("Authorization", "Bearer " + token);
    if (config.gzip && envelope.size() >= kGzipThreshold) {
        request.body = gzipCompress(envelope, 6);
        request.headers.emplace_back("Content-Encoding", "gzip");
    } else {
        request.body = envelope;
    }
    return request;
}

namespace {

bool uploadBatch(UploadContext& context, const Batch& batch) {
    EnvelopeInput input;
    input.collectorId = context.config.id;
    input.bootId = context.bootId;
    input.batchId = batch.batchId;
    input.sentAt = context.wallNowMs();
    input.name = context.config.name;
    input.version = kCollectorVersion;
    input.observations = batch.observations;
    input.dropped = batch.dropped;
    const std::string envelope = buildEnvelope(input);

    HttpRequest request;
    try {
        request = buildUploadRequest(context.config, context.serverTls, context.token, envelope);
    } catch (const std::exception& error) {
        // A batch left in flight would stop every later upload: the failure settles it and
        // it is tried again after the back-off.
        context.buffer.failBatch(batch, error.what(), true);
        return true;
    }
    const HttpResponse response = context.client.request(request);

    switch (response.status) {
        case 200: {
            std::optional<Acknowledgement> ack = parseAcknowledgement(response.body);
            if (!ack) {
                context.buffer.failBatch(batch, "malformed acknowledgement from server", true);
                break;
            }
            context.buffer.acknowledge(batch, *ack, context.wallNowMs());
            context.authFailures.store(0);
            UploadCallback callback = context.uploadCallback ? context.uploadCallback() : UploadCallback();
            if (callback) {
                UploadResult result;
                result.uploadedBytes = request.body.size();
                result.rawBytes = envelope.size();
                result.totals = std::move(ack->totals);
                callback(result);
            }
            break;
        }
        case 400: {
            context.buffer.rejectBatch(batch, "server_rejected_batch");
            if (context.setLastError) {
                context.setLastError("server rejected a batch as invalid: " + quotedBody(response.body, 300));
            }
            break;
        }
        case 413:
            if (batch.observations.empty()) {
                // Nothing but drop reports, a few hundred bytes: the limit is the aggregator's
                // passing state, not these reports, which must not be lost over it.
                context.buffer.failBatch(batch, "aggregator returned HTTP 413", true);
            } else if (!context.buffer.splitBatch(batch)) {
                context.buffer.rejectBatch(batch, "observation_too_large");
            }
            break;
        case 0:
            context.buffer.failBatch(batch, "cannot reach aggregator: " + response.error, true);
            break;
        case 401:
            context.authFailures.fetch_add(1);
            context.buffer.failBatch(batch, "aggregator rejected the collector token (401); re-enroll", false);
            break;
        case 403:
            context.authFailures.fetch_add(1);
            context.buffer.failBatch(batch, "aggregator refused this collector id for the token (403)", false);
            break;
        default:
            context.buffer.failBatch(batch, "aggregator returned HTTP " + std::to_string(response.status), true);
            break;
    }
    return true;
}

}  // namespace

bool uploadOnce(UploadContext& context) {
    std::optional<Batch> taken = context.buffer.takeBatch();
    if (!taken) {
        return false;
    }
    // A batch left in flight would stop every later upload, so an allocation failure anywhere
    // in the exchange settles it as a failure (a settled batch ignores this).
    try {
        return uploadBatch(context, *taken);
    } catch (const std::bad_alloc&) {
        context.buffer.failBatch(*taken, "out of memory", true);
        return true;
    }
}

}  // namespace vornet
