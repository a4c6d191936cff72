// The local aggregator: enrollment with invite codes, the ingest endpoint with its
// acknowledgements, fault injection, and a durable record of everything it accepted.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/json.h"
#include "sim/common/server.h"

namespace vornet::sim {

// Closed ranges of sequence numbers, merged.
class RangeSet {
public:
    void add(std::uint64_t from, std::uint64_t to);
    bool contains(std::uint64_t value) const;
    std::uint64_t count() const;
    std::uint64_t first() const;
    std::uint64_t last() const;
    bool empty() const { return ranges_.empty(); }
    const std::map<std::uint64_t, std::uint64_t>& ranges() const { return ranges_; }
    JsonValue toJson() const;  // [[from,to],...]

private:
    std::map<std::uint64_t, std::uint64_t> ranges_;  // from -> to
};

struct AggregatorFaults {
    double errorRate = 0;    // share of ingest requests answered with errorStatus
    int errorStatus = 503;
    double dropRate = 0;     // share of ingest requests whose connection is closed unanswered
    int slowMs = 0;          // every ingest answer waits this long
    std::uint64_t maxBodyBytes = 0;  // 413 above this many received bytes; 0: no limit
    std::deque<std::string> next;    // one-shot answers for the next requests: a status, "drop" or "slow:<ms>"
};

struct AggregatorOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    bool tls = false;
    int tlsPort = 0;
    std::string rootCertOut;
    std::string stateFile;
    std::string record;      // JSONL file; replayed at start when it exists
    std::string pathPrefix;  // e.g. "/api": endpoints at /api/v1/enroll ...
    std::vector<std::string> invites;
    std::vector<std::string> tokens;  // "TOKEN" (any collector id) or "TOKEN=ID"
    bool singleUseInvites = false;
    int enrollMaxFailures = 5;
    long long enrollWindowMs = 60000;
    AggregatorFaults faults;
    std::uint64_t seed = 0;  // 0: random
};

class Aggregator {
public:
    explicit Aggregator(AggregatorOptions options);
    ~Aggregator();
    Aggregator(const Aggregator&) = delete;
    Aggregator& operator=(const Aggregator&) = delete;

    bool start(std::string& error);
    void shutdown();

    // Request entry point (public so that a test can drive it without sockets).
    SimReply handle(const SimRequest& req);

private:
    struct Boot {
        std::string collectorId;
        std::set<std::string> seenIds;
        RangeSet acknowledged;
        RangeSet dropped;
        std::vector<JsonValue> droppedRanges;  // as reported, without repeats
        std::uint64_t duplicates = 0;
        std::uint64_t batches = 0;
    };
    struct Collector {
        std::uint64_t events = 0;
        std::set<std::string> gameIds;
    };

    SimReply enroll(const SimRequest& req);
    SimReply ingest(const SimRequest& req);
    SimReply control(const SimRequest& req);
    JsonValue summary() const;
    JsonValue stateJson() const;
    // Applies one record line to the counters; used live and when replaying the record.
    void apply(const JsonValue& line);
    bool record(const JsonValue& line);
    // `refused`, when given, is the request the outcome refuses: its boot and drop reports are
    // recorded with the outcome, so that a reader of the record can tell which reports never
    // got through.
    void recordOutcome(const std::string& what, int status, const std::string& detail,
                       const SimRequest* refused = nullptr);
    void writeState();

    AggregatorOptions options_;
    std::unique_ptr<SimServer> plain_;
    std::unique_ptr<SimServer> tls_;
    std::string rootPem_;

    mutable std::mutex mutex_;  // everything below; handlers of both servers take it
    std::mt19937_64 random_;
    std::string runId_;
    AggregatorFaults faults_;
    std::set<std::string> invites_;
    std::set<std::string> usedInvites_;
    std::deque<std::int64_t> enrollFailures_;  // monotonic times of recent failed attempts
    std::map<std::string, std::string> tokens_;  // token -> collector id ("" = any)
    std::map<std::string, Boot> boots_;
    std::map<std::string, Collector> collectors_;
    std::map<std::string, std::map<std::string, std::map<std::string, std::uint64_t>>> endpoints_;  // api, endpoint, kind
    std::map<int, std::uint64_t> statusCounts_;
    std::uint64_t acceptedBatches_ = 0;
    std::uint64_t rawBytes_ = 0;
    std::uint64_t bodyBytes_ = 0;
    std::uint64_t compressedBytes_ = 0;
    bool recordBroken_ = false;
};

}  // namespace vornet::sim
