#include "collector/observation.h"

#include <algorithm>
#include <cstdint>

#include "core/text.h"

namespace vornet {

namespace {

constexpr std::size_t kErrorCut = 500;

struct LowerTable {
    unsigned char map[256] = {};
    constexpr LowerTable() {
        for (int c = 0; c < 256; ++c) map[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
};
constexpr LowerTable kLower;

unsigned char lowerAt(std::string_view key, std::size_t i) { return kLower.map[static_cast<unsigned char>(key[i])]; }

// True when `key`, with A-Z lowered, holds `word` at position i.
template <std::size_t N>
bool wordAt(std::string_view key, std::size_t i, const char (&word)[N]) {
    constexpr std::size_t length = N - 1;
    if (key.size() - i < length) return false;
    for (std::size_t k = 0; k < length; ++k)
        if (lowerAt(key, i + k) != static_cast<unsigned char>(word[k])) return false;
    return true;
}

// Pairs of bytes with which a listed word begins: "pa", "to", "se", "co", "cr", "au", "ap",
// "jw", "re".
struct BigramTable {
    std::uint64_t bits[65536 / 64] = {};
    constexpr BigramTable() {
        const char* starts[] = {"pa", "to", "se", "co", "cr", "au", "ap", "jw", "re"};
        for (const char* b : starts) {
            unsigned v = static_cast<unsigned char>(b[0]) << 8 | static_cast<unsigned char>(b[1]);
            bits[v / 64] |= std::uint64_t{1} << (v % 64);
        }
    }
    bool has(unsigned a, unsigned b) const {
        unsigned v = a << 8 | b;
        return bits[v / 64] >> (v % 64) & 1;
    }
};
constexpr BigramTable kBigrams;

// Bytes, in either case, with which a listed word begins: most bytes of a key are none of
// them and are passed over with one look-up.
struct StartTable {
    bool starts[256] = {};
    constexpr StartTable() {
        for (char c : {'p', 't', 's', 'c', 'a', 'j', 'r'}) {
            starts[static_cast<unsigned char>(c)] = true;
            starts[static_cast<unsigned char>(c - 'a' + 'A')] = true;
        }
    }
};
constexpr StartTable kStarts;

// Every key of every answer passes through here, so instead of lowering a copy and searching
// it once per listed word ("password", "passwd", "token", "secret", "cookie", "authoriz",
// "credential", "jwt", "apikey", "api_key", "api-key", "remoting", "sessionkey",
// "session_key", "session-key"), the key is scanned once, lowering on the fly, and words are
// compared only where the first two bytes of one of them stand.
bool containsSensitiveWord(std::string_view key) {
    for (std::size_t i = 0; i + 2 < key.size(); ++i) {
        if (!kStarts.starts[static_cast<unsigned char>(key[i])]) continue;
        unsigned char first = lowerAt(key, i);
        if (!kBigrams.has(first, lowerAt(key, i + 1))) continue;
        switch (first) {
        case 'p':
            if (wordAt(key, i, "pass") && (wordAt(key, i + 4, "word") || wordAt(key, i + 4, "wd"))) return true;
            break;
        case 't':
            if (wordAt(key, i, "token")) return true;
            break;
        case 's':
            if (wordAt(key, i, "secret")) return true;
            if (wordAt(key, i, "session") &&
                (wordAt(key, i + 7, "key") || wordAt(key, i + 7, "_key") || wordAt(key, i + 7, "-key")))
                return true;
            break;
        case 'c':
            if (wordAt(key, i, "cookie") || wordAt(key, i, "credential")) return true;
            break;
        case 'a':
            if (wordAt(key, i, "authoriz")) return true;
            if (wordAt(key, i, "api") &&
                (wordAt(key, i + 3, "key") || wordAt(key, i + 3, "_key") || wordAt(key, i + 3, "-key")))
                return true;
            break;
        case 'j':
            if (lowerAt(key, i + 2) == 't') return true;
            break;
        case 'r':
            if (wordAt(key, i, "remoting")) return true;
            break;
        default: break;
        }
    }
    return false;
}

}  // namespace

bool isSensitiveKey(std::string_view key) {
    // The shortest listed word, "jwt", has three bytes.
    if (key.size() < 3) return false;
    if (containsSensitiveWord(key)) return true;
    if (key.size() == 4 && wordAt(key, 0, "auth")) return true;
    return key.size() >= 4 && wordAt(key, key.size() - 4, "pass");
}

void redactSecrets(JsonValue& value) {
    if (value.kind == JsonKind::Array) {
        for (JsonValue& element : value.elements) redactSecrets(element);
    } else if (value.kind == JsonKind::Object) {
        auto& members = value.members;
        members.erase(std::remove_if(members.begin(), members.end(),
                                     [](const JsonMember& m) { return isSensitiveKey(m.key); }),
                      members.end());
        for (JsonMember& m : members) redactSecrets(m.value);
    }
}

void setPayloadFromBody(Observation& observation, std::string_view body) {
    if (trimAsciiView(body).empty()) {
        observation.payload = "null";
        return;
    }
    // Read, cleaned and written in one pass: the same text as writing the parsed answer after
    // redactSecrets, without building it.
    observation.payload.clear();
    observation.payload.reserve(body.size());
    std::string parseError;
    if (!appendCompactJson(observation.payload, body, isSensitiveKey, &parseError)) {
        observation.payload = "null";
        if (observation.error.empty()) observation.error = "malformed JSON response: " + parseError;
    }
}

void appendObservationJson(std::string& out, const Observation& o) {
    out.append("{\"observationId\":");
    appendJsonString(out, o.observationId);
    out.append(",\"sequence\":");
    out.append(std::to_string(o.sequence));
    out.append(",\"observedAt\":\"");
    appendIsoUtc(out, o.observedAt);
    out.append("\",\"source\":{\"api\":");
    appendJsonString(out, o.api);
    out.append(",\"endpoint\":");
    appendJsonString(out, o.endpoint);
    out.append(o.kind == ObservationKind::Notification ? ",\"kind\":\"notification\"}" : ",\"kind\":\"snapshot\"}");
    out.append(",\"status\":");
    out.append(std::to_string(o.status));
    if (o.kind == ObservationKind::Notification) {
        out.append(",\"notificationType\":");
        appendJsonString(out, o.notificationType);
    }
    if (!o.error.empty()) {
        std::string_view error = o.error;
        if (error.size() > kErrorCut) {
            std::size_t k = kErrorCut;
            // Never split a multi-byte character: back off while the first byte dropped is a
            // continuation byte.
            while (k > 0 && (static_cast<unsigned char>(error[k]) & 0xC0) == 0x80) --k;
            error = error.substr(0, k);
        }
        out.append(",\"error\":");
        appendJsonString(out, error);
    }
    out.append(",\"payload\":");
    out.append(o.payload);
    out.push_back('}');
}

}  // namespace vornet
