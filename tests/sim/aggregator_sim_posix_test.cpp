#include <gtest/gtest.h>
#include <zlib.h>

#include "sim/common/loopback_client.h"
#include "sim/common/sim_util.h"
#include "tests/support/child_process_posix.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait.h"

namespace vornet::sim::test {
namespace {

using vornet::testing::ChildProcess;
using vornet::testing::TempFolder;
using vornet::testing::waitForJsonFile;

class AggregatorProcess {
public:
    explicit AggregatorProcess(std::vector<std::string> extra = {}, const TempFolder* shared = nullptr)
        : folder(shared ? shared : &dir) {
        std::vector<std::string> args = {PARLOW_SIM_AGGREGATOR,
                                         "--state-file",
                                         folder->file("agg-state.json"),
                                         "--record",
                                         folder->file("record.jsonl"),
                                         "--invite",
                                         "INVITE-1",
                                         "--path",
                                         "/api"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::filesystem::remove(folder->file("agg-state.json"));
        process = std::make_unique<ChildProcess>(args);
        if (auto s = waitForJsonFile(folder->file("agg-state.json"))) state = *s;
    }
    FetchResult post(const std::string& target, const std::string& body, HeaderList headers = {}) const {
        FetchRequest req;
        req.method = "POST";
        req.port = static_cast<std::uint16_t>(state.getNumber("port", 0));
        req.target = target;
        req.body = body;
        req.headers = std::move(headers);
        req.timeoutMs = 3000;
        return fetch(req);
    }
    FetchResult ingest(const std::string& body, const std::string& token, bool gzip = false) const {
        HeaderList headers = {{"Content-Type", "application/json"}};
        if (!token.empty()) headers.emplace_back("Authorization", "Bearer " + token);
        if (gzip) headers.emplace_back("Content-Encoding", "gzip");
        return post("/api/v1/ingest/observations", body, headers);
    }
    JsonValue summary() const {
        FetchRequest req;
        req.port = static_cast<std::uint16_t>(state.getNumber("port", 0));
        req.target = "/summary";
        return parseJson(fetch(req).body).value_or(JsonValue());
    }
    // Enrolls with the standing invite and returns the token.
    std::string enroll(const std::string& collectorId = "pc-1") const {
        auto answer =
            parseJson(post("/api/v1/enroll", "{\"code\":\"INVITE-1\",\"collectorId\":\"" + collectorId + "\"}").body);
        return answer ? answer->getString("token", "") : std::string();
    }

    TempFolder dir;
    const TempFolder* folder;
    std::unique_ptr<ChildProcess> process;
    JsonValue state;
};

struct Obs {
    std::uint64_t sequence;
    std::string endpoint = "/lol-gameflow/v1/gameflow-phase";
    std::string kind = "snapshot";
    std::string payload = "\"Lobby\"";
};

std::string envelope(const std::string& bootId, const std::string& batchId, const std::vector<Obs>& observations,
                     const std::string& dropped = "", const std::string& collectorId = "pc-1") {
    std::string out =
        "{\"protocolVersion\":1,\"collectorId\":\"" + collectorId + "\",\"bootId\":\"" + bootId + "\",\"batchId\":\"" +
        batchId + "\",\"sentAt\":\"2026-01-01T00:00:00.000Z\",\"collector\":{\"name\":\"pc\",\"version\":\"0.3.0\"}";
    if (!observations.empty())
        out += ",\"firstSequence\":" + std::to_string(observations.front().sequence) +
               ",\"lastSequence\":" + std::to_string(observations.back().sequence);
    if (!dropped.empty()) out += ",\"dropped\":[" + dropped + "]";
    out += ",\"observations\":[";
    for (std::size_t i = 0; i < observations.size(); ++i) {
        const Obs& o = observations[i];
        if (i) out += ",";
        out += "{\"observationId\":\"o" + std::to_string(o.sequence) + "\",\"sequence\":" + std::to_string(o.sequence) +
               ",\"observedAt\":\"2026-01-01T00:00:00.000Z\",\"source\":{\"api\":\"lcu\",\"endpoint\":\"" + o.endpoint +
               "\",\"kind\":\"" + o.kind + "\"},\"status\":200" +
               (o.kind == "notification" ? ",\"notificationType\":\"Update\"" : "") + ",\"payload\":" + o.payload + "}";
    }
    return out + "]}";
}

std::string gzip(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::vector<std::string> strings(const JsonValue* array) {
    std::vector<std::string> out;
    if (array)
        for (const JsonValue& v : array->elements) out.push_back(v.asString());
    return out;
}

TEST(AggregatorSim, EnrollAnswers) {
    AggregatorProcess agg({"--enroll-max-failures", "3"});
    ASSERT_TRUE(agg.state.isObject());
    FetchResult ok = agg.post("/api/v1/enroll", "{\"code\":\"INVITE-1\"}");
    ASSERT_EQ(ok.status, 201) << ok.body;
    auto answer = parseJson(ok.body);
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->getString("collectorId", "").empty());
    EXPECT_FALSE(answer->getString("token", "").empty());
    auto again = parseJson(agg.post("/api/v1/enroll", "{\"code\":\"INVITE-1\",\"collectorId\":\"mine\"}").body);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->getString("collectorId", ""), "mine");
    EXPECT_NE(again->getString("token", ""), answer->getString("token", ""));

    struct Case {
        std::string body;
        int status;
    };
    // Catches codes compared loosely and malformed bodies taken as codes; the third failure
    // inside the window trips the limit, so even the good code is then refused.
    std::vector<Case> cases = {
        {"{\"code\":\"invite-1\"}", 404},
        {"{\"code\":\"NOPE\"}", 404},
        {"[\"INVITE-1\"]", 400},
        {"{\"code\":\"INVITE-1\"}", 429},
    };
    for (const Case& c : cases) EXPECT_EQ(agg.post("/api/v1/enroll", c.body).status, c.status) << c.body;
}

TEST(AggregatorSim, IngestAcknowledgesAndRecognisesDuplicates) {
    AggregatorProcess agg;
    std::string token = agg.enroll();
    ASSERT_FALSE(token.empty());
    std::string body = envelope("boot_1", "batch_1", {{1}, {2}, {3}});
    FetchResult first = agg.ingest(body, token);
    ASSERT_EQ(first.status, 200) << first.body;
    auto ack = parseJson(first.body);
    ASSERT_TRUE(ack);
    EXPECT_EQ(strings(ack->find("accepted")), (std::vector<std::string>{"o1", "o2", "o3"}));
    EXPECT_TRUE(ack->find("duplicates")->elements.empty());
    EXPECT_TRUE(ack->find("rejected")->isArray());
    const JsonValue* totals = ack->find("collectorTotals");
    ASSERT_TRUE(totals);
    EXPECT_FALSE(totals->getString("runId", "").empty());
    EXPECT_EQ(totals->getNumber("events", -1), 3);

    // The same batch again, and one overlapping it, under the same boot id: only new ids count.
    auto repeat = parseJson(agg.ingest(body, token).body);
    ASSERT_TRUE(repeat);
    EXPECT_TRUE(repeat->find("accepted")->elements.empty());
    EXPECT_EQ(strings(repeat->find("duplicates")), (std::vector<std::string>{"o1", "o2", "o3"}));
    FetchResult overlapReply = agg.ingest(gzip(envelope("boot_1", "batch_2", {{3}, {4}})), token, true);
    ASSERT_EQ(overlapReply.status, 200) << overlapReply.body;
    auto overlap = parseJson(overlapReply.body);
    ASSERT_TRUE(overlap && overlap->find("accepted"));
    EXPECT_EQ(strings(overlap->find("accepted")), (std::vector<std::string>{"o4"}));
    EXPECT_EQ(overlap->find("collectorTotals")->getNumber("events", -1), 4);
    // A new boot starts its own numbering, so the same ids are new there.
    auto otherBoot = parseJson(agg.ingest(envelope("boot_2", "batch_1", {{1}}), token).body);
    ASSERT_TRUE(otherBoot);
    EXPECT_EQ(strings(otherBoot->find("accepted")), (std::vector<std::string>{"o1"}));
}

TEST(AggregatorSim, IngestRefusals) {
    AggregatorProcess agg;
    std::string token = agg.enroll();
    std::string good = envelope("boot_1", "batch_1", {{1}, {2}});
    struct Case {
        std::string name;
        std::string body;
        std::string token;
        bool gzip;
        int status;
    };
    // Catches a missing token check, a lenient envelope check and gzip handled as plain text.
    std::vector<Case> cases = {
        {"no token", good, "", false, 401},
        {"unknown token", good, "tok_unknown", false, 401},
        {"not JSON", "{\"protocolVersion\":1,", token, false, 400},
        {"wrong version", envelope("b", "x", {{1}}).replace(19, 1, "2"), token, false, 400},
        {"no observations",
         "{\"protocolVersion\":1,\"collectorId\":\"pc-1\",\"bootId\":\"b\",\"batchId\":\"x\",\"sentAt\":\"t\","
         "\"collector\":{\"name\":\"\",\"version\":\"1\"}}",
         token, false, 400},
        {"sequence not increasing", envelope("b", "x", {{2}, {2}}), token, false, 400},
        {"bad kind", envelope("b", "x", {{1, "/p", "poll"}}), token, false, 400},
        {"inconsistent drop",
         envelope("b", "x", {}, "{\"count\":5,\"fromSequence\":1,\"toSequence\":2,\"reason\":\"r\"}"), token, false,
         400},
        {"gzip header but plain body", good, token, true, 400},
        {"other collector id", envelope("b", "x", {{1}}, "", "pc-2"), token, false, 403},
        {"gzip body", gzip(good), token, true, 200},
    };
    for (const Case& c : cases) {
        FetchResult r = agg.ingest(c.body, c.token, c.gzip);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.body;
    }
}

TEST(AggregatorSim, SummaryAccountsForEverySequence) {
    AggregatorProcess agg;
    std::string token = agg.enroll();
    std::string eog = "{\"gameId\":5032988583,\"roomPassword\":\"x\"}";
    ASSERT_EQ(agg.ingest(envelope("boot_1", "batch_1",
                                  {{1}, {2}, {3, "/lol-end-of-game/v1/eog-stats-block", "snapshot", eog}}),
                         token)
                  .status,
              200);
    // 4-5 dropped by the collector, 6 arrives compressed with the same game as a notification,
    // 7 never arrives, 8 closes a second game.
    ASSERT_EQ(
        agg.ingest(gzip(envelope("boot_1", "batch_2", {{6, "/lol-end-of-game/v1/eog-stats-block", "notification", eog}},
                                 "{\"count\":2,\"fromSequence\":4,\"toSequence\":5,\"reason\":\"buffer_full\"}")),
                   token, true)
            .status,
        200);
    auto last =
        parseJson(agg.ingest(envelope("boot_1", "batch_3",
                                      {{8, "/lol-end-of-game/v1/eog-stats-block", "snapshot", "{\"gameId\":77}"}}),
                             token)
                      .body);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->find("collectorTotals")->getNumber("games", -1), 2);

    JsonValue s = agg.summary();
    const JsonValue* boot = s.find("boots") ? s.find("boots")->find("boot_1") : nullptr;
    ASSERT_TRUE(boot) << writeJson(s);
    EXPECT_EQ(boot->getNumber("acknowledged", -1), 5);
    EXPECT_EQ(boot->getNumber("firstSequence", -1), 1);
    EXPECT_EQ(boot->getNumber("lastSequence", -1), 8);
    EXPECT_EQ(boot->getNumber("droppedCount", -1), 2);
    EXPECT_EQ(writeJson(*boot->find("unaccounted")), "[[7,7]]");
    EXPECT_EQ(boot->find("dropped")->elements.at(0).getString("reason", ""), "buffer_full");
    EXPECT_EQ(s.getNumber("games", -1), 2);
    EXPECT_EQ(s.getNumber("events", -1), 5);
    const JsonValue* eogCounts = s.find("endpoints")->find("lcu")->find("/lol-end-of-game/v1/eog-stats-block");
    ASSERT_TRUE(eogCounts);
    EXPECT_EQ(eogCounts->getNumber("snapshot", -1), 2);
    EXPECT_EQ(eogCounts->getNumber("notification", -1), 1);
    const JsonValue* bytes = s.find("bytes");
    EXPECT_GT(bytes->getNumber("compressed", 0), 0);
    EXPECT_GT(bytes->getNumber("raw", 0), bytes->getNumber("received", 0));
}

TEST(AggregatorSim, InjectedFaultsAnswerOnceThenRecover) {
    AggregatorProcess agg;
    std::string token = agg.enroll();
    int port = static_cast<int>(agg.state.getNumber("port", 0));
    struct Case {
        std::string fault;
        int status;  // 0: connection dropped without an answer
    };
    // Catches a switch that is ignored or that sticks beyond the requests it was set for.
    std::vector<Case> cases = {{"503", 503}, {"500", 500}, {"400", 400}, {"401", 401}, {"413", 413}, {"drop", 0}};
    std::uint64_t sequence = 0;
    for (const Case& c : cases) {
        FetchRequest control;
        control.method = "POST";
        control.port = static_cast<std::uint16_t>(port);
        control.target = "/control/fault?status=" + c.fault;
        ASSERT_EQ(fetch(control).status, 200) << c.fault;
        ++sequence;
        EXPECT_EQ(agg.ingest(envelope("boot_1", "b", {{sequence}}), token).status, c.status) << c.fault;
        EXPECT_EQ(agg.ingest(envelope("boot_1", "b", {{sequence}}), token).status, 200) << c.fault;
    }
    // A size limit answers 413 only above it.
    FetchRequest limit;
    limit.method = "POST";
    limit.port = static_cast<std::uint16_t>(port);
    limit.target = "/control/faults?maxBodyBytes=600";
    ASSERT_EQ(fetch(limit).status, 200);
    std::vector<Obs> many;
    for (std::uint64_t i = 100; i < 110; ++i) many.push_back({i});
    EXPECT_EQ(agg.ingest(envelope("boot_1", "b", many), token).status, 413);
    EXPECT_EQ(agg.ingest(envelope("boot_1", "b", {{200}}), token).status, 200);
}

TEST(AggregatorSim, RecordSurvivesARestart) {
    TempFolder shared;
    std::string token;
    std::string runId;
    {
        AggregatorProcess agg({}, &shared);
        token = agg.enroll();
        ASSERT_EQ(agg.ingest(envelope("boot_1", "batch_1", {{1}, {2}}), token).status, 200);
        runId = agg.summary().getString("runId", "");
    }
    AggregatorProcess again({}, &shared);
    auto ack = parseJson(again.ingest(envelope("boot_1", "batch_2", {{2}, {3}}), token).body);
    ASSERT_TRUE(ack) << "token lost in the restart";
    EXPECT_EQ(strings(ack->find("duplicates")), (std::vector<std::string>{"o2"}));
    EXPECT_EQ(ack->find("collectorTotals")->getString("runId", ""), runId);
    EXPECT_EQ(ack->find("collectorTotals")->getNumber("events", -1), 3);
    std::string record;
    ASSERT_TRUE(readFile(shared.file("record.jsonl"), record));
    EXPECT_NE(record.find("\"type\":\"batch\""), std::string::npos);
}

TEST(AggregatorSim, ServesTlsWithItsOwnRoot) {
    TempFolder certs;
    AggregatorProcess agg({"--tls", "--root-cert-out", certs.file("root.pem")});
    std::string root;
    ASSERT_TRUE(readFile(agg.state.getString("rootCertFile", ""), root));
    FetchRequest req;
    req.port = static_cast<std::uint16_t>(agg.state.getNumber("tlsPort", 0));
    req.target = "/summary";
    req.tls = true;
    req.rootPem = root;
    req.verifyName = "127.0.0.1";
    FetchResult r = fetch(req);
    EXPECT_EQ(r.status, 200) << r.error;
}

}  // namespace
}  // namespace vornet::sim::test
