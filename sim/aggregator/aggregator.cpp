#include "sim/aggregator/aggregator.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <tuple>
#include <cstdio>
#include <sstream>

#include "core/text.h"
#include "sim/common/certs.h"
#include "sim/common/sim_util.h"

namespace vornet::sim {

namespace {

constexpr std::size_t kMaxInflated = 64u << 20;

SimReply errorReply(int status, const std::string& code, const std::string& message = {}) {
    JsonValue error = JsonValue::object();
    error.set("code", code);
    if (!message.empty()) error.set("message", message);
    JsonValue body = JsonValue::object();
    body.set("error", std::move(error));
    return SimReply{status, writeJson(body)};
}

bool asU64(const JsonValue* value, std::uint64_t& out) {
    if (!value || !value->isNumber() || value->text.empty()) return false;
    const std::string& t = value->text;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    return ec == std::errc() && end == t.data() + t.size();
}

bool nonEmptyString(const JsonValue& object, const char* key) {
    const JsonValue* v = object.find(key);
    return v && v->isString() && !v->asString().empty();
}

// Inflates a gzip body; false when it is not valid gzip or inflates beyond the limit.
bool gunzip(const std::string& in, std::string& out, bool& tooLarge) {
    tooLarge = false;
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    char chunk[65536];
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
        out.append(chunk, sizeof chunk - z.avail_out);
        if (out.size() > kMaxInflated) {
            tooLarge = true;
            break;
        }
        if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) break;  // truncated input
    }
    bool ok = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return ok && !tooLarge;
}

// Checks the batch envelope; the text says what is wrong.
std::string envelopeProblem(const JsonValue& env) {
    if (!env.isObject()) return "envelope is not an object";
    std::uint64_t version = 0;
    if (!asU64(env.find("protocolVersion"), version) || version != 1) return "protocolVersion must be 1";
    for (const char* key : {"collectorId", "bootId", "batchId", "sentAt"})
        if (!nonEmptyString(env, key)) return std::string(key) + " must be a non-empty string";
    const JsonValue* collector = env.find("collector");
    if (!collector || !collector->isObject() || !collector->find("name") || !collector->find("name")->isString() ||
        !nonEmptyString(*collector, "version"))
        return "collector must hold name and version";
    const JsonValue* observations = env.find("observations");
    if (!observations || !observations->isArray()) return "observations must be an array";
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < observations->elements.size(); ++i) {
        const JsonValue& o = observations->elements[i];
        std::string at = "observations[" + std::to_string(i) + "]";
        if (!o.isObject()) return at + " is not an object";
        if (!nonEmptyString(o, "observationId")) return at + ".observationId missing";
        std::uint64_t sequence = 0;
        if (!asU64(o.find("sequence"), sequence) || sequence == 0) return at + ".sequence must be a positive integer";
        if (sequence <= previous) return at + ".sequence is not increasing";
        previous = sequence;
        if (!nonEmptyString(o, "observedAt")) return at + ".observedAt missing";
        const JsonValue* source = o.find("source");
        if (!source || !source->isObject() || !nonEmptyString(*source, "api") || !nonEmptyString(*source, "endpoint"))
            return at + ".source must hold api and endpoint";
        std::string kind = source->getString("kind", "");
        if (kind != "snapshot" && kind != "notification") return at + ".source.kind must be snapshot or notification";
        const JsonValue* status = o.find("status");
        if (!status || !status->isNumber()) return at + ".status must be a number";
        if (!o.find("payload")) return at + ".payload missing";
    }
    const auto& items = observations->elements;
    std::uint64_t first = 0, last = 0;
    bool hasFirst = env.find("firstSequence") != nullptr, hasLast = env.find("lastSequence") != nullptr;
    if (!items.empty()) {
        std::uint64_t seqFirst = 0, seqLast = 0;
        asU64(items.front().find("sequence"), seqFirst);
        asU64(items.back().find("sequence"), seqLast);
        if (!asU64(env.find("firstSequence"), first) || first != seqFirst) return "firstSequence does not match";
        if (!asU64(env.find("lastSequence"), last) || last != seqLast) return "lastSequence does not match";
    } else if (hasFirst || hasLast) {
        return "firstSequence/lastSequence without observations";
    }
    if (const JsonValue* dropped = env.find("dropped")) {
        if (!dropped->isArray()) return "dropped must be an array";
        for (const JsonValue& range : dropped->elements) {
            std::uint64_t count = 0, from = 0, to = 0;
            if (!range.isObject() || !asU64(range.find("count"), count) || !asU64(range.find("fromSequence"), from) ||
                !asU64(range.find("toSequence"), to) || !range.find("reason") || !range.find("reason")->isString())
                return "dropped entries need count, fromSequence, toSequence and reason";
            if (from == 0 || from > to || count != to - from + 1) return "dropped range is inconsistent";
        }
    }
    return {};
}

}  // namespace

void RangeSet::add(std::uint64_t from, std::uint64_t to) {
    if (from > to) return;
    auto it = ranges_.upper_bound(from);
    if (it != ranges_.begin()) {
        auto prev = std::prev(it);
        if (prev->second + 1 >= from) {  // overlaps or touches
            from = prev->first;
            to = std::max(to, prev->second);
            it = ranges_.erase(prev);
        }
    }
    while (it != ranges_.end() && it->first <= to + 1) {
        to = std::max(to, it->second);
        it = ranges_.erase(it);
    }
    ranges_[from] = to;
}

bool RangeSet::contains(std::uint64_t value) const {
    auto it = ranges_.upper_bound(value);
    if (it == ranges_.begin()) return false;
    return std::prev(it)->second >= value;
}

std::uint64_t RangeSet::count() const {
    std::uint64_t n = 0;
    for (const auto& [from, to] : ranges_) n += to - from + 1;
    return n;
}

std::uint64_t RangeSet::first() const { return ranges_.empty() ? 0 : ranges_.begin()->first; }
std::uint64_t RangeSet::last() const { return ranges_.empty() ? 0 : ranges_.rbegin()->second; }

JsonValue RangeSet::toJson() const {
    JsonValue out = JsonValue::array();
    for (const auto& [from, to] : ranges_) {
        JsonValue pair = JsonValue::array();
        pair.push(from);
        pair.push(to);
        out.push(std::move(pair));
    }
    return out;
}

Aggregator::Aggregator(AggregatorOptions options) : options_(std::move(options)) {}

Aggregator::~Aggregator() { shutdown(); }

bool Aggregator::start(std::string& error) {
    {
        std::lock_guard lock(mutex_);
        random_.seed(options_.seed ? options_.seed : std::random_device{}());
        faults_ = options_.faults;
        invites_.insert(options_.invites.begin(), options_.invites.end());
        for (const std::string& t : options_.tokens) {
            std::size_t eq = t.find('=');
            tokens_[t.substr(0, eq)] = eq == std::string::npos ? std::string() : t.substr(eq + 1);
        }
        if (!options_.record.empty()) {
            std::string text;
            if (readFile(options_.record, text)) {
                std::istringstream lines(text);
                std::string line;
                while (std::getline(lines, line)) {
                    if (auto value = parseJson(line)) apply(*value);  // a torn last line is skipped
                }
            }
        }
        if (runId_.empty()) {
            runId_ = "run_" + randomHex(8);
            JsonValue run = JsonValue::object();
            run.set("type", "run");
            run.set("at", formatIsoUtc(nowUnixMs()));
            run.set("runId", runId_);
            if (!record(run)) {
                error = "cannot write " + options_.record;
                return false;
            }
        }
    }
    auto handler = [this](const SimRequest& r) { return handle(r); };
    ServerSettings plain;
    plain.host = options_.host;
    plain.port = static_cast<std::uint16_t>(options_.port);
    plain_ = SimServer::start(plain, handler, {}, error);
    if (!plain_) return false;
    if (options_.tls) {
        TestCertificates certs;
        if (!makeTestCertificates("Parlow test aggregator root", certs, error)) return false;
        rootPem_ = certs.rootPem;
        if (!options_.rootCertOut.empty() && !writeFileAtomic(options_.rootCertOut, rootPem_)) {
            error = "cannot write " + options_.rootCertOut;
            return false;
        }
        ServerSettings secure = plain;
        secure.port = static_cast<std::uint16_t>(options_.tlsPort);
        secure.tls = true;
        secure.certPem = certs.leafPem;
        secure.keyPem = certs.leafKeyPem;
        tls_ = SimServer::start(secure, handler, {}, error);
        if (!tls_) return false;
    }
    writeState();
    return true;
}

void Aggregator::shutdown() {
    tls_.reset();
    plain_.reset();
}

bool Aggregator::record(const JsonValue& line) {
    if (options_.record.empty()) return true;
    if (!appendLine(options_.record, writeJson(line))) {
        recordBroken_ = true;
        return false;
    }
    return true;
}

void Aggregator::recordOutcome(const std::string& what, int status, const std::string& detail,
                               const SimRequest* refused) {
    JsonValue line = JsonValue::object();
    line.set("type", "outcome");
    line.set("at", formatIsoUtc(nowUnixMs()));
    line.set("endpoint", what);
    line.set("status", status);
    if (!detail.empty()) line.set("detail", detail);
    if (refused) {
        // Best effort: a body that does not decode carried nothing the record could name.
        std::string inflated;
        bool tooLarge = false;
        const bool gzip = asciiLower(refused->header("content-encoding")) == "gzip";
        if (!gzip || gunzip(refused->body, inflated, tooLarge)) {
            auto envelope = parseJson(gzip ? inflated : refused->body);
            const JsonValue* dropped = envelope && envelope->isObject() ? envelope->find("dropped") : nullptr;
            if (dropped && dropped->isArray() && !dropped->elements.empty()) {
                line.set("bootId", envelope->getString("bootId", ""));
                line.set("dropped", *dropped);
            }
        }
    }
    record(line);
    apply(line);
}

void Aggregator::apply(const JsonValue& line) {
    std::string type = line.getString("type", "");
    if (type == "run") {
        if (runId_.empty()) runId_ = line.getString("runId", "");
    } else if (type == "enroll") {
        tokens_[line.getString("token", "")] = line.getString("collectorId", "");
        if (options_.singleUseInvites) usedInvites_.insert(line.getString("code", ""));
    } else if (type == "outcome") {
        ++statusCounts_[static_cast<int>(line.getNumber("status", 0))];
    } else if (type == "batch") {
        std::string collectorId = line.getString("collectorId", "");
        Boot& boot = boots_[line.getString("bootId", "")];
        boot.collectorId = collectorId;
        ++boot.batches;
        Collector& collector = collectors_[collectorId];
        if (const JsonValue* ids = line.find("accepted"); ids && ids->isArray()) {
            for (const JsonValue& id : ids->elements) boot.seenIds.insert(id.asString());
            collector.events += ids->elements.size();
        }
        if (const JsonValue* ranges = line.find("acceptedSequences"); ranges && ranges->isArray())
            for (const JsonValue& r : ranges->elements)
                if (r.isArray() && r.elements.size() == 2)
                    boot.acknowledged.add(static_cast<std::uint64_t>(r.elements[0].asInt64(0)),
                                          static_cast<std::uint64_t>(r.elements[1].asInt64(0)));
        if (const JsonValue* dups = line.find("duplicates"); dups && dups->isArray())
            boot.duplicates += dups->elements.size();
        if (const JsonValue* dropped = line.find("dropped"); dropped && dropped->isArray()) {
            for (const JsonValue& range : dropped->elements) {
                std::uint64_t from = 0, to = 0;
                asU64(range.find("fromSequence"), from);
                asU64(range.find("toSequence"), to);
                boot.dropped.add(from, to);
                bool known = false;
                for (const JsonValue& seen : boot.droppedRanges) known = known || writeJson(seen) == writeJson(range);
                if (!known) boot.droppedRanges.push_back(range);
            }
        }
        if (const JsonValue* games = line.find("gameIds"); games && games->isArray())
            for (const JsonValue& g : games->elements) collector.gameIds.insert(g.asString());
        if (const JsonValue* counts = line.find("counts"); counts && counts->isArray())
            for (const JsonValue& c : counts->elements)
                if (c.isArray() && c.elements.size() == 4)
                    endpoints_[c.elements[0].asString()][c.elements[1].asString()][c.elements[2].asString()] +=
                        static_cast<std::uint64_t>(c.elements[3].asInt64(0));
        ++acceptedBatches_;
        ++statusCounts_[200];
        std::uint64_t raw = static_cast<std::uint64_t>(line.getNumber("rawBytes", 0));
        std::uint64_t body = static_cast<std::uint64_t>(line.getNumber("bodyBytes", 0));
        rawBytes_ += raw;
        bodyBytes_ += body;
        if (line.getBool("gzip", false)) compressedBytes_ += body;
    }
}

SimReply Aggregator::handle(const SimRequest& req) {
    const std::string& path = req.path;
    if (path == options_.pathPrefix + "/v1/enroll") return enroll(req);
    if (path == options_.pathPrefix + "/v1/ingest/observations") return ingest(req);
    if (path == "/summary" || path == options_.pathPrefix + "/summary") {
        std::lock_guard lock(mutex_);
        return SimReply{200, writeJson(summary())};
    }
    if (path.rfind("/control/", 0) == 0) return control(req);
    return errorReply(404, "not_found");
}

SimReply Aggregator::enroll(const SimRequest& req) {
    if (req.method != "POST") return errorReply(405, "method_not_allowed");
    std::lock_guard lock(mutex_);
    std::int64_t now = steadyNowMs();
    while (!enrollFailures_.empty() && now - enrollFailures_.front() >= options_.enrollWindowMs)
        enrollFailures_.pop_front();
    auto fail = [&](int status, const std::string& code, const std::string& message) {
        recordOutcome("enroll", status, code);
        SimReply reply = errorReply(status, code, message);
        if (status == 429) reply.headers.emplace_back("Retry-After", std::to_string(options_.enrollWindowMs / 1000));
        return reply;
    };
    if (static_cast<int>(enrollFailures_.size()) >= options_.enrollMaxFailures)
        return fail(429, "rate_limited", "too many enrollment attempts; try again later");
    auto body = parseJson(req.body);
    const JsonValue* code = body ? body->find("code") : nullptr;
    if (!body || !body->isObject() || !code || !code->isString() || code->asString().empty()) {
        enrollFailures_.push_back(now);
        return fail(400, "bad_request", "body must be an object with a code");
    }
    const std::string& invite = code->asString();
    if (!invites_.count(invite)) {
        enrollFailures_.push_back(now);
        return fail(404, "invite_not_found", "unknown invite code");
    }
    if (usedInvites_.count(invite)) {
        enrollFailures_.push_back(now);
        return fail(410, "invite_used", "this invite has been used");
    }
    std::string collectorId = body->getString("collectorId", "");
    if (collectorId.empty()) collectorId = "col_" + randomHex(6);
    JsonValue line = JsonValue::object();
    line.set("type", "enroll");
    line.set("at", formatIsoUtc(nowUnixMs()));
    line.set("code", invite);
    line.set("collectorId", collectorId);
    line.set("token", "tok_" + randomHex(16));
    if (!record(line)) return errorReply(503, "record_unavailable");
    apply(line);
    JsonValue answer = JsonValue::object();
    answer.set("collectorId", collectorId);
    answer.set("token", line.getString("token", ""));
    ++statusCounts_[201];
    return SimReply{201, writeJson(answer)};
}

SimReply Aggregator::ingest(const SimRequest& req) {
    if (req.method != "POST") return errorReply(405, "method_not_allowed");
    std::lock_guard lock(mutex_);
    const std::string endpoint = "ingest";
    int delayMs = faults_.slowMs;
    auto finish = [&](SimReply reply) {
        reply.delayMs = delayMs;
        return reply;
    };
    // One-shot faults first, then the random ones.
    while (!faults_.next.empty()) {
        std::string fault = faults_.next.front();
        faults_.next.pop_front();
        if (fault.rfind("slow:", 0) == 0) {
            long long ms = 0;
            parseInt(std::string_view(fault).substr(5), ms);
            delayMs = static_cast<int>(ms);
            continue;  // a slow answer is still a real answer
        }
        if (fault == "drop") {
            recordOutcome(endpoint, 0, "fault: connection dropped", &req);
            SimReply reply;
            reply.drop = true;
            return finish(reply);
        }
        long long status = 0;
        parseInt(fault, status);
        recordOutcome(endpoint, static_cast<int>(status), "fault", &req);
        static const std::map<int, std::string> kCodes = {
            {400, "invalid_envelope"}, {401, "unauthorized"}, {403, "forbidden"}, {413, "payload_too_large"}};
        auto known = kCodes.find(static_cast<int>(status));
        return finish(errorReply(static_cast<int>(status), known != kCodes.end() ? known->second : "injected_fault"));
    }
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (faults_.dropRate > 0 && chance(random_) < faults_.dropRate) {
        recordOutcome(endpoint, 0, "fault: connection dropped", &req);
        SimReply reply;
        reply.drop = true;
        return finish(reply);
    }
    if (faults_.errorRate > 0 && chance(random_) < faults_.errorRate) {
        recordOutcome(endpoint, faults_.errorStatus, "fault", &req);
        return finish(errorReply(faults_.errorStatus, "injected_fault"));
    }
    if (faults_.maxBodyBytes > 0 && req.body.size() > faults_.maxBodyBytes) {
        recordOutcome(endpoint, 413, "body " + std::to_string(req.body.size()) + " bytes", &req);
        return finish(errorReply(413, "payload_too_large"));
    }

    std::string authorization = req.header("authorization");
    auto token = authorization.rfind("Bearer ", 0) == 0 ? tokens_.find(authorization.substr(7)) : tokens_.end();
    if (token == tokens_.end()) {
        recordOutcome(endpoint, 401, "bad token", &req);
        return finish(errorReply(401, "unauthorized", "unknown or missing bearer token"));
    }

    std::string inflated;
    bool gzip = asciiLower(req.header("content-encoding")) == "gzip";
    if (gzip) {
        bool tooLarge = false;
        if (!gunzip(req.body, inflated, tooLarge)) {
            recordOutcome(endpoint, tooLarge ? 413 : 400, tooLarge ? "inflates too large" : "bad gzip", &req);
            return finish(tooLarge ? errorReply(413, "payload_too_large")
                                   : errorReply(400, "invalid_encoding", "body is not valid gzip"));
        }
    }
    const std::string& text = gzip ? inflated : req.body;
    std::string parseError;
    auto envelope = parseJson(text, &parseError);
    std::string problem = envelope ? envelopeProblem(*envelope) : "not JSON: " + parseError;
    if (!problem.empty()) {
        recordOutcome(endpoint, 400, problem, &req);
        return finish(errorReply(400, "invalid_envelope", problem));
    }
    std::string collectorId = envelope->getString("collectorId", "");
    if (!token->second.empty() && token->second != collectorId) {
        recordOutcome(endpoint, 403, "collector id " + collectorId, &req);
        return finish(errorReply(403, "forbidden", "token belongs to another collector id"));
    }
    std::string bootId = envelope->getString("bootId", "");
    const Boot* boot = boots_.count(bootId) ? &boots_.at(bootId) : nullptr;

    JsonValue accepted = JsonValue::array();
    JsonValue duplicates = JsonValue::array();
    RangeSet acceptedSequences;
    std::set<std::string> inBatch;
    std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> counts;
    std::set<std::string> gameIds;
    for (const JsonValue& o : envelope->find("observations")->elements) {
        std::string id = o.getString("observationId", "");
        if ((boot && boot->seenIds.count(id)) || !inBatch.insert(id).second) {
            duplicates.push(id);
            continue;
        }
        accepted.push(id);
        std::uint64_t sequence = 0;
        asU64(o.find("sequence"), sequence);
        acceptedSequences.add(sequence, sequence);
        const JsonValue& source = *o.find("source");
        std::string api = source.getString("api", ""), path = source.getString("endpoint", "");
        ++counts[{api, path, source.getString("kind", "")}];
        // A game counts once its end-of-game statistics arrive; the game id keeps repeated
        // polls and notifications of the same block from counting twice.
        if (path == "/lol-end-of-game/v1/eog-stats-block" && o.getNumber("status", 0) == 200) {
            const JsonValue* payload = o.find("payload");
            const JsonValue* gameId = payload ? payload->find("gameId") : nullptr;
            if (gameId && gameId->isNumber()) gameIds.insert(gameId->text);
        }
    }
    JsonValue line = JsonValue::object();
    line.set("type", "batch");
    line.set("at", formatIsoUtc(nowUnixMs()));
    line.set("collectorId", collectorId);
    line.set("bootId", bootId);
    line.set("batchId", envelope->getString("batchId", ""));
    line.set("accepted", accepted);
    line.set("acceptedSequences", acceptedSequences.toJson());
    line.set("duplicates", duplicates);
    line.set("dropped", envelope->find("dropped") ? *envelope->find("dropped") : JsonValue::array());
    JsonValue countList = JsonValue::array();
    for (const auto& [key, n] : counts) {
        JsonValue c = JsonValue::array();
        c.push(std::get<0>(key));
        c.push(std::get<1>(key));
        c.push(std::get<2>(key));
        c.push(n);
        countList.push(std::move(c));
    }
    line.set("counts", countList);
    JsonValue games = JsonValue::array();
    for (const std::string& g : gameIds) games.push(g);
    line.set("gameIds", games);
    line.set("rawBytes", static_cast<std::uint64_t>(text.size()));
    line.set("bodyBytes", static_cast<std::uint64_t>(req.body.size()));
    line.set("gzip", gzip);
    // Nothing is acknowledged that is not on disk first.
    if (!record(line)) return finish(errorReply(503, "record_unavailable"));
    apply(line);

    const Collector& totals = collectors_[collectorId];
    JsonValue ack = JsonValue::object();
    ack.set("accepted", accepted);
    ack.set("duplicates", duplicates);
    ack.set("rejected", JsonValue::array());
    JsonValue collectorTotals = JsonValue::object();
    collectorTotals.set("runId", runId_);
    collectorTotals.set("events", totals.events);
    collectorTotals.set("games", static_cast<std::uint64_t>(totals.gameIds.size()));
    ack.set("collectorTotals", collectorTotals);
    return finish(SimReply{200, writeJson(ack)});
}

JsonValue Aggregator::summary() const {
    JsonValue out = JsonValue::object();
    out.set("runId", runId_);
    std::uint64_t events = 0, games = 0;
    JsonValue collectors = JsonValue::object();
    for (const auto& [id, c] : collectors_) {
        JsonValue entry = JsonValue::object();
        entry.set("events", c.events);
        entry.set("games", static_cast<std::uint64_t>(c.gameIds.size()));
        JsonValue ids = JsonValue::array();
        for (const std::string& g : c.gameIds) ids.push(JsonValue::numberText(g));
        entry.set("gameIds", ids);
        collectors.set(id, entry);
        events += c.events;
        games += c.gameIds.size();
    }
    out.set("events", events);
    out.set("games", games);
    out.set("collectors", collectors);
    JsonValue boots = JsonValue::object();
    for (const auto& [id, b] : boots_) {
        JsonValue entry = JsonValue::object();
        entry.set("collectorId", b.collectorId);
        entry.set("batches", b.batches);
        entry.set("acknowledged", b.acknowledged.count());
        entry.set("firstSequence", b.acknowledged.first());
        entry.set("lastSequence", b.acknowledged.last());
        entry.set("acknowledgedRanges", b.acknowledged.toJson());
        entry.set("duplicates", b.duplicates);
        JsonValue dropped = JsonValue::array();
        for (const JsonValue& r : b.droppedRanges) dropped.push(r);
        entry.set("dropped", dropped);
        entry.set("droppedCount", b.dropped.count());
        // Sequence numbers up to the highest one seen that were neither acknowledged nor
        // reported dropped: in flight, or lost.
        RangeSet known = b.acknowledged;
        for (const auto& [from, to] : b.dropped.ranges()) known.add(from, to);
        RangeSet unaccounted;
        std::uint64_t next = 1;
        for (const auto& [from, to] : known.ranges()) {
            if (from > next) unaccounted.add(next, from - 1);
            next = to + 1;
        }
        entry.set("unaccounted", unaccounted.toJson());
        boots.set(id, entry);
    }
    out.set("boots", boots);
    JsonValue endpoints = JsonValue::object();
    for (const auto& [api, paths] : endpoints_) {
        JsonValue byPath = JsonValue::object();
        for (const auto& [path, kinds] : paths) {
            JsonValue byKind = JsonValue::object();
            for (const auto& [kind, n] : kinds) byKind.set(kind, n);
            byPath.set(path, byKind);
        }
        endpoints.set(api, byPath);
    }
    out.set("endpoints", endpoints);
    JsonValue statuses = JsonValue::object();
    for (const auto& [status, n] : statusCounts_) statuses.set(std::to_string(status), n);
    out.set("statusCounts", statuses);
    out.set("acceptedBatches", acceptedBatches_);
    JsonValue bytes = JsonValue::object();
    bytes.set("raw", rawBytes_);
    bytes.set("received", bodyBytes_);
    bytes.set("compressed", compressedBytes_);
    out.set("bytes", bytes);
    out.set("recordBroken", recordBroken_);
    return out;
}

JsonValue Aggregator::stateJson() const {
    JsonValue state = JsonValue::object();
    state.set("pid", currentProcessId());
    int port = plain_ ? plain_->port() : 0;
    state.set("port", port);
    state.set("url", "http://127.0.0.1:" + std::to_string(port) + options_.pathPrefix);
    if (tls_) {
        state.set("tlsPort", static_cast<int>(tls_->port()));
        state.set("tlsUrl", "https://127.0.0.1:" + std::to_string(tls_->port()) + options_.pathPrefix);
        state.set("rootCertFile", options_.rootCertOut);
    }
    state.set("record", options_.record);
    state.set("runId", runId_);
    JsonValue faults = JsonValue::object();
    faults.set("errorRate", faults_.errorRate);
    faults.set("errorStatus", faults_.errorStatus);
    faults.set("dropRate", faults_.dropRate);
    faults.set("slowMs", faults_.slowMs);
    faults.set("maxBodyBytes", faults_.maxBodyBytes);
    JsonValue next = JsonValue::array();
    for (const std::string& n : faults_.next) next.push(n);
    faults.set("next", next);
    state.set("faults", faults);
    JsonValue invites = JsonValue::array();
    for (const std::string& i : invites_) invites.push(i);
    state.set("invites", invites);
    return state;
}

void Aggregator::writeState() {
    if (options_.stateFile.empty()) return;
    std::string text;
    {
        std::lock_guard lock(mutex_);
        text = writeJson(stateJson());
    }
    if (!writeFileAtomic(options_.stateFile, text + "\n"))
        std::fprintf(stderr, "parlow-sim-aggregator: cannot write %s\n", options_.stateFile.c_str());
}

SimReply Aggregator::control(const SimRequest& req) {
    const std::string& path = req.path;
    if (path == "/control/state") {
        std::lock_guard lock(mutex_);
        return SimReply{200, writeJson(stateJson())};
    }
    if (req.method != "POST") return errorReply(405, "use_post");
    {
        std::lock_guard lock(mutex_);
        if (path == "/control/fault") {
            // status=NNN | drop | slow (with ms=N); count=N
            std::string status = req.queryParam("status");
            long long count = 1, code = 0, ms = 0;
            if (!parseInt(req.queryParam("count", "1"), count) || count < 1 || count > 100000)
                return errorReply(400, "bad_count");
            std::string fault;
            if (status == "drop") {
                fault = "drop";
            } else if (status == "slow" && parseInt(req.queryParam("ms"), ms) && ms >= 0) {
                fault = "slow:" + std::to_string(ms);
            } else if (parseInt(status, code) && code >= 100 && code <= 599) {
                fault = std::to_string(code);
            } else {
                return errorReply(400, "bad_status", "status must be 100-599, drop or slow");
            }
            for (long long i = 0; i < count; ++i) faults_.next.push_back(fault);
        } else if (path == "/control/faults") {
            double rate = 0;
            long long n = 0;
            std::string v;
            if (!(v = req.queryParam("errorRate")).empty()) {
                if (!parseDouble(v, rate) || rate < 0 || rate > 1) return errorReply(400, "bad_errorRate");
                faults_.errorRate = rate;
            }
            if (!(v = req.queryParam("errorStatus")).empty()) {
                if (!parseInt(v, n) || n < 100 || n > 599) return errorReply(400, "bad_errorStatus");
                faults_.errorStatus = static_cast<int>(n);
            }
            if (!(v = req.queryParam("dropRate")).empty()) {
                if (!parseDouble(v, rate) || rate < 0 || rate > 1) return errorReply(400, "bad_dropRate");
                faults_.dropRate = rate;
            }
            if (!(v = req.queryParam("slowMs")).empty()) {
                if (!parseInt(v, n) || n < 0 || n > 600000) return errorReply(400, "bad_slowMs");
                faults_.slowMs = static_cast<int>(n);
            }
            if (!(v = req.queryParam("maxBodyBytes")).empty()) {
                if (!parseInt(v, n) || n < 0) return errorReply(400, "bad_maxBodyBytes");
                faults_.maxBodyBytes = static_cast<std::uint64_t>(n);
            }
        } else if (path == "/control/reset-faults") {
            faults_ = AggregatorFaults{};
        } else if (path == "/control/invite") {
            std::string code = req.queryParam("code");
            if (code.empty()) return errorReply(400, "code_missing");
            invites_.insert(code);
        } else {
            return errorReply(404, "unknown_control");
        }
    }
    writeState();
    std::lock_guard lock(mutex_);
    return SimReply{200, writeJson(stateJson())};
}

}  // namespace vornet::sim
