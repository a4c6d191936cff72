#include "sources/feed_message.h"

#include "sources/notification_feed.h"

namespace vornet {

std::optional<FeedMessageEvent> parseFeedMessage(std::string_view text) {
    std::optional<JsonValue> parsed = parseJson(text);
    if (!parsed || parsed->kind != JsonKind::Array || parsed->elements.size() < 3) return std::nullopt;
    const JsonValue& type = parsed->elements[0];
    if (type.kind != JsonKind::Number || type.asDouble(0) != 8) return std::nullopt;
    JsonValue& event = parsed->elements[2];
    if (event.kind != JsonKind::Object) return std::nullopt;
    FeedMessageEvent out;
    out.uri = event.getString("uri", "");
    if (!isRecordedNotificationUri(out.uri)) return std::nullopt;
    out.eventType = event.getString("eventType", "Update");
    if (JsonValue* found = event.find("data")) out.data = std::move(*found);
    return out;
}

}  // namespace vornet
