// Feed messages: which texts become recorded events and with what type and data.
#include <gtest/gtest.h>

#include "core/json.h"
#include "sources/feed_message.h"

namespace vornet {
namespace {

TEST(FeedMessage, Table) {
    // Catches a reader that records events it should ignore (wrong message type, other URIs,
    // non-object payloads) or drops the defaults for a missing type or data.
    struct Case {
        const char* text;
        bool recorded;
        const char* uri;
        const char* eventType;
        const char* data;  // compact JSON
    } cases[] = {
        {R"([8,"OnJsonApiEvent",{"uri":"/lol-lobby/v2/lobby/members","data":{},"eventType":"Create"}])", true,
         "/lol-lobby/v2/lobby/members", "Create", "{}"},
        {R"([8,"x",{"uri":"/lol-gameflow/v1/gameflow-phase","data":"ChampSelect"}])", true,
         "/lol-gameflow/v1/gameflow-phase", "Update", "\"ChampSelect\""},
        {R"([8,"x",{"uri":"/lol-champ-select/v1/session","eventType":7}])", true, "/lol-champ-select/v1/session",
         "Update", "null"},
        {R"( [ 8.0 , null , {"uri":"/lol-end-of-game/v1/eog-stats-block","data":[1,{"a":2}]} , 9 ] )", true,
         "/lol-end-of-game/v1/eog-stats-block", "Update", "[1,{\"a\":2}]"},
        {R"([8,"x",{"uri":"/lol-lobby/v2/lobby/members/","data":{}}])", false, "", "", ""},   // not an exact match
        {R"([8,"x",{"uri":"/LOL-LOBBY/V2/LOBBY","data":{}}])", false, "", "", ""},            // case matters
        {R"([8,"x",{"uri":"/lol-summoner/v1/current-summoner","data":{}}])", false, "", "", ""},
        {R"([5,"OnJsonApiEvent"])", false, "", "", ""},
        {R"([7,"x",{"uri":"/lol-lobby/v2/lobby"}])", false, "", "", ""},
        {R"(["8","x",{"uri":"/lol-lobby/v2/lobby"}])", false, "", "", ""},
        {R"([8,"x"])", false, "", "", ""},
        {R"([8,"x","/lol-lobby/v2/lobby"])", false, "", "", ""},
        {R"([8,"x",["uri","/lol-lobby/v2/lobby"]])", false, "", "", ""},
        {R"([8,"x",{"uri":5}])", false, "", "", ""},
        {R"({"uri":"/lol-lobby/v2/lobby"})", false, "", "", ""},
        {R"([8,"x",{"uri":"/lol-lobby/v2/lobby"})", false, "", "", ""},  // cut short
        {"", false, "", "", ""},
        {"\xff\xfe", false, "", "", ""},
    };
    for (const Case& c : cases) {
        auto event = parseFeedMessage(c.text);
        ASSERT_EQ(event.has_value(), c.recorded) << c.text;
        if (!event) continue;
        EXPECT_EQ(event->uri, c.uri) << c.text;
        EXPECT_EQ(event->eventType, c.eventType) << c.text;
        EXPECT_EQ(writeJson(event->data), c.data) << c.text;
    }
}

}  // namespace
}  // namespace vornet
