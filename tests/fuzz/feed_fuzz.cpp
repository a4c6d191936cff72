// Arbitrary bytes as one feed message: an accepted event must name a recorded URI and a
// non-empty type, its data must survive redaction and writing, and the result must not depend
// on anything but the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "collector/observation.h"
#include "core/json.h"
#include "sources/feed_message.h"
#include "sources/notification_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto event = vornet::parseFeedMessage(text);
    // Wrapped as the element 2 of an event array, any parsable JSON must be judged the same way
    // the reader would judge a direct event.
    std::string wrappedText = "[8,\"OnJsonApiEvent\"," + text + "]";
    auto wrapped = vornet::parseFeedMessage(wrappedText);
    // (The nesting limit may accept the text alone but not one level deeper.)
    if (auto value = vornet::parseJson(text); value && value->isObject() && vornet::parseJson(wrappedText)) {
        const vornet::JsonValue* uri = value->find("uri");
        bool recorded = uri && uri->isString() && vornet::isRecordedNotificationUri(uri->asString());
        if (recorded != wrapped.has_value()) std::abort();
    }
    if (!event) return 0;
    if (!vornet::isRecordedNotificationUri(event->uri)) std::abort();
    if (event->eventType.empty() && text.find("\"\"") == std::string::npos) std::abort();
    vornet::JsonValue redacted = event->data;
    vornet::redactSecrets(redacted);
    std::string written = vornet::writeJson(redacted);
    auto reparsed = vornet::parseJson(written);
    if (!reparsed || vornet::writeJson(*reparsed) != written) std::abort();
    auto again = vornet::parseFeedMessage(text);
    if (!again || again->uri != event->uri || again->eventType != event->eventType ||
        vornet::writeJson(again->data) != vornet::writeJson(event->data))
        std::abort();
    return 0;
}
