#include "collector/observation.h"

#include <algorithm>
#include <array>

#include "core/text.h"

namespace vornet {

namespace {

constexpr std::array<std::string_view, 15> kSensitiveWords = {
    "password", "passwd",  "token",  "secret",     "cookie",      "authoriz",    "credential", "jwt",
    "apikey",   "api_key", "api-key", "remoting", "sessionkey", "session_key", "session-key"};

constexpr std::size_t kErrorCut = 500;

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool isSensitiveKey(std::string_view key) {
    // Every listed word is at least three bytes long, "auth" and "...pass" four.
    if (key.size() < 3) return false;
    char small[64];
    std::string large;
    std::string_view lower;
    if (key.size() <= sizeof small) {
        for (std::size_t i = 0; i < key.size(); ++i) small[i] = lowerAscii(key[i]);
        lower = std::string_view(small, key.size());
    } else {
        large = asciiLower(key);
        lower = large;
    }
    for (std::string_view word : kSensitiveWords)
        if (lower.find(word) != std::string_view::npos) return true;
    if (lower == "auth") return true;
    return lower.size() >= 4 && lower.substr(lower.size() - 4) == "pass";
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
    std::string parseError;
    std::optional<JsonValue> parsed = parseJson(body, &parseError);
    if (!parsed) {
        observation.payload = "null";
        if (observation.error.empty()) observation.error = "malformed JSON response: " + parseError;
        return;
    }
    redactSecrets(*parsed);
    observation.payload.clear();
    appendJson(observation.payload, *parsed);
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
