// One text message of the game client's event feed, reduced to the event it carries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"

namespace vornet {

struct FeedMessageEvent {
    std::string uri;
    std::string eventType;  // "Update" when missing or not text
    JsonValue data;         // null when missing
};

// The event of a message `[8, <name>, {"uri":..., "data":..., "eventType":...}]` whose URI is
// on the recorded list; nothing for any other text (not JSON, not an event, another URI).
std::optional<FeedMessageEvent> parseFeedMessage(std::string_view text);

}  // namespace vornet
