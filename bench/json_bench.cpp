// parse -> redact -> write over captured game-client answers, with nlohmann/json and RapidJSON
// doing the same work (parse, drop sensitive members at every depth, compact write) in the
// same run. Run: build/native/bench/json_bench
#include <benchmark/benchmark.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sstream>
#include <string>
#include <vector>

#include "collector/observation.h"
#include "core/json.h"

namespace {

const char* const kFixtures[] = {
    "lol-champ-select-session.json",     "lol-end-of-game-eog-stats-block.json", "lol-gameflow-session.json",
    "liveclientdata-allgamedata.json",   "liveclientdata-playerlist.json",       "lol-lobby-v2-lobby.json",
};

std::string readFixture(const std::string& name) {
    std::ifstream in(std::string(PARLOW_TESTDATA) + "/fixtures/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void ours(benchmark::State& state, const std::string& body) {
    for (auto _ : state) {
        vornet::Observation o;
        vornet::setPayloadFromBody(o, body);
        benchmark::DoNotOptimize(o.payload.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

void redactNlohmann(nlohmann::json& j) {
    if (j.is_array()) {
        for (auto& e : j) redactNlohmann(e);
    } else if (j.is_object()) {
        for (auto it = j.begin(); it != j.end();) {
            if (vornet::isSensitiveKey(it.key())) {
                it = j.erase(it);
            } else {
                redactNlohmann(it.value());
                ++it;
            }
        }
    }
}

void withNlohmann(benchmark::State& state, const std::string& body) {
    for (auto _ : state) {
        auto j = nlohmann::json::parse(body);
        redactNlohmann(j);
        std::string out = j.dump();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

void redactRapid(rapidjson::Value& v) {
    if (v.IsArray()) {
        for (auto& e : v.GetArray()) redactRapid(e);
    } else if (v.IsObject()) {
        for (auto it = v.MemberBegin(); it != v.MemberEnd();) {
            if (vornet::isSensitiveKey(std::string_view(it->name.GetString(), it->name.GetStringLength()))) {
                it = v.EraseMember(it);  // keeps member order, like ours
            } else {
                redactRapid(it->value);
                ++it;
            }
        }
    }
}

void withRapidJson(benchmark::State& state, const std::string& body) {
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(body.data(), body.size());
        redactRapid(d);
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

struct Registrar {
    Registrar() {
        static std::vector<std::string> bodies;
        bodies.reserve(std::size(kFixtures) + 1);
        std::string all;
        for (const char* name : kFixtures) bodies.push_back(readFixture(name));
        for (std::size_t i = 0; i < std::size(kFixtures); ++i) {
            const std::string& body = bodies[i];
            std::string label = std::string(kFixtures[i]) + "/" + std::to_string(body.size()) + "B";
            benchmark::RegisterBenchmark(("ours/" + label).c_str(), ours, body);
            benchmark::RegisterBenchmark(("nlohmann/" + label).c_str(), withNlohmann, body);
            benchmark::RegisterBenchmark(("rapidjson/" + label).c_str(), withRapidJson, body);
        }
    }
} registrar;

}  // namespace

BENCHMARK_MAIN();
