#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "collector/observation.h"
#include "core/json.h"

namespace vornet {
namespace {

// Catches a wrong word list, a case-sensitive comparison or a wrong suffix rule.
TEST(Redaction, SensitiveKeys) {
    for (const char* key : {"Password", "X-Api-Key", "authorization", "sessionKey", "bypass", "compass", "AUTH",
                            "multiUserChatPassword", "roomPassword", "JWT", "remotingAuthToken", "Cookie",
                            "session-key", "api_key", "passwd", "pass", "clientSecret", "credentials"})
        EXPECT_TRUE(isSensitiveKey(key)) << key;
    for (const char* key : {"author", "oauth", "passport", "pas", "keys", "", "summonerId", "auths", "pa"})
        EXPECT_FALSE(isSensitiveKey(key)) << key;
    EXPECT_TRUE(isSensitiveKey(std::string(100, 'x') + "TOKEN"));
}

TEST(Redaction, RemovesWholeMembersAtAnyDepth) {
    auto v = parseJson("{\"a\":[{\"token\":1,\"b\":2}],\"secret\":{\"x\":1}}");
    ASSERT_TRUE(v);
    redactSecrets(*v);
    EXPECT_EQ(writeJson(*v), "{\"a\":[{\"b\":2}]}");
    auto nested = parseJson("[[{\"k\":{\"password\":\"p\",\"z\":[{\"jwt\":\"t\"}]}}],\"password\"]");
    redactSecrets(*nested);
    EXPECT_EQ(writeJson(*nested), "[[{\"k\":{\"z\":[{}]}}],\"password\"]");
}

struct PayloadCase {
    std::string body;
    std::string presetError;
    std::string payload;
    std::string error;  // prefix of the expected error
};

// Catches a lost error, a non-compact payload and a payload that is not valid JSON.
TEST(Payload, FromBody) {
    const PayloadCase cases[] = {
        {" \r\n\t ", "", "null", ""},
        {"", "", "null", ""},
        {" [ 1 , 2 ] ", "", "[1,2]", ""},
        {"\"Lobby\"", "", "\"Lobby\"", ""},
        {"{", "", "null", "malformed JSON response: expected key at offset 1"},
        {"{", "timed out", "null", "timed out"},
        {"{\"token\":\"x\",\"n\":1}", "", "{\"n\":1}", ""},
    };
    for (const auto& c : cases) {
        Observation o;
        o.error = c.presetError;
        setPayloadFromBody(o, c.body);
        EXPECT_EQ(o.payload, c.payload) << c.body;
        EXPECT_EQ(o.error, c.error) << c.body;
    }
}

// The payload is written in one pass; it must equal the parsed, redacted and written answer
// for every text, and fail where parsing fails with the same message. Catches the one-pass
// writer keeping a left-out member (or its comma), re-escaping a string differently, changing
// a number, or accepting what the parser refuses.
TEST(Payload, OnePassEqualsParseRedactWrite) {
    std::vector<std::string> bodies = {
        "{\"a\":1,\"password\":2}",
        "{\"password\":2,\"a\":1}",
        "{\"password\":2}",
        "{\"pass\\u0077ord\":\"escaped key\",\"k\":\"v\"}",
        "{\"a\":{\"token\":{\"deep\":[1,2,{\"x\":3}]}},\"b\":[{\"secret\":1},{\"jwt\":2,\"c\":-0.5e+10}]}",
        " [ \"\\u00e9\\/\\b\\f\\n\\r\\t\\u001f\\\"\\\\\" , \"\\ud83d\\ude00\\ud800x\\udc00\" ] ",
        "{\"a\":1,\"a\":2,\"\":null,\"t\":true,\"f\":false}",
        "[1.0, -0, 1E5, 123456789012345678901234567890]",
        "\"plain \xc3\xa9 \xff bytes\"",
        "{\"token\":[1,}",
        "{\"token\":\"\\x\"}",
        "{\"a\":\"\x01\"}",
        "[1,2",
        "{\"a\" 1}",
        "[01]",
        "nul",
        "{} x",
        std::string(200, '[') + std::string(200, ']'),
    };
    for (const char* name : {"liveclientdata-allgamedata.json", "lol-champ-select-session.json",
                             "lol-gameflow-session.json", "lcu-websocket-events.jsonl", "liveclientdata-eventdata.json"}) {
        std::ifstream in(std::string(PARLOW_TESTDATA) + "/fixtures/" + name, std::ios::binary);
        ASSERT_TRUE(in) << name;
        std::stringstream text;
        text << in.rdbuf();
        bodies.push_back(text.str());
    }
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body.substr(0, 80));
        std::string expected;
        std::string parseError;
        std::optional<JsonValue> parsed = parseJson(body, &parseError);
        if (parsed) {
            redactSecrets(*parsed);
            expected = writeJson(*parsed);
        }
        std::string written;
        std::string copyError;
        EXPECT_EQ(appendCompactJson(written, body, isSensitiveKey, &copyError), parsed.has_value());
        if (parsed) {
            EXPECT_EQ(written, expected);
        } else {
            EXPECT_EQ(copyError, parseError);
        }
    }
}

Observation sample() {
    Observation o;
    o.observationId = "o7";
    o.sequence = 7;
    o.observedAt = 1714564800250;
    o.api = "lcu";
    o.endpoint = "/lol-gameflow/v1/gameflow-phase";
    o.status = 200;
    o.payload = "\"Lobby\"";
    return o;
}

TEST(ObservationLine, Snapshot) {
    std::string line;
    appendObservationJson(line, sample());
    EXPECT_EQ(line,
              "{\"observationId\":\"o7\",\"sequence\":7,\"observedAt\":\"2024-05-01T12:00:00.250Z\",\"source\":{"
              "\"api\":\"lcu\",\"endpoint\":\"/lol-gameflow/v1/gameflow-phase\",\"kind\":\"snapshot\"},\"status\":"
              "200,\"payload\":\"Lobby\"}");
}

TEST(ObservationLine, NotificationWithErrorAndDefaults) {
    Observation o = sample();
    o.kind = ObservationKind::Notification;
    o.notificationType = "Update";
    o.status = -1;
    o.error = "bad \"x\"";
    std::string line = "prefix";
    appendObservationJson(line, o);
    EXPECT_EQ(line,
              "prefix{\"observationId\":\"o7\",\"sequence\":7,\"observedAt\":\"2024-05-01T12:00:00.250Z\",\"source\":{"
              "\"api\":\"lcu\",\"endpoint\":\"/lol-gameflow/v1/gameflow-phase\",\"kind\":\"notification\"},"
              "\"status\":-1,\"notificationType\":\"Update\",\"error\":\"bad \\\"x\\\"\",\"payload\":\"Lobby\"}");
    Observation fresh;
    std::string plain;
    appendObservationJson(plain, fresh);
    EXPECT_EQ(plain,
              "{\"observationId\":\"\",\"sequence\":0,\"observedAt\":\"1970-01-01T00:00:00.000Z\",\"source\":{"
              "\"api\":\"\",\"endpoint\":\"\",\"kind\":\"snapshot\"},\"status\":0,\"payload\":null}");
}

std::string writtenError(const std::string& error) {
    Observation o;
    o.error = error;
    std::string line;
    appendObservationJson(line, o);
    auto value = parseJson(line);
    EXPECT_TRUE(value) << line;
    EXPECT_EQ(o.error, error);  // the stored error is never shortened
    return value ? value->getString("error", "<none>") : "";
}

// Catches a cut that splits a multi-byte character or cuts short errors.
TEST(ObservationLine, ErrorCut) {
    EXPECT_EQ(writtenError(std::string(500, 'a')), std::string(500, 'a'));
    EXPECT_EQ(writtenError(std::string(600, 'a')), std::string(500, 'a'));
    std::string twoByte;
    for (int i = 0; i < 300; ++i) twoByte += "\xC3\xA9";
    EXPECT_EQ(writtenError(twoByte), twoByte.substr(0, 500));
    // Byte 500 falls inside a three-byte character that starts at 499.
    std::string threeByte = std::string(499, 'a') + "\xE2\x82\xAC" + std::string(50, 'b');
    EXPECT_EQ(writtenError(threeByte), std::string(499, 'a'));
    // Byte 500 is the last byte of a character starting at 498.
    std::string ending = std::string(498, 'a') + "\xE2\x82\xAC" + "tail";
    EXPECT_EQ(writtenError(ending), std::string(498, 'a'));
}

}  // namespace
}  // namespace vornet
