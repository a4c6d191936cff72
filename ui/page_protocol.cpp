#include "ui/page_protocol.h"

#include <cstdio>

#include "core/json.h"

namespace vornet::app {

std::optional<UiEvent> pageMessageEvent(std::string_view json) {
    std::optional<JsonValue> parsed = parseJson(json);
    if (!parsed || !parsed->isObject()) return std::nullopt;
    const std::string action = parsed->getString("action", "");
    UiEvent event;
    if (action == "ready") {
        event.action = UiAction::Ready;
    } else if (action == "connect") {
        event.action = UiAction::Connect;
        event.code = parsed->getString("code", "");
        event.flag = parsed->getBool("startWithWindows", true);
    } else if (action == "pause") {
        event.action = UiAction::Pause;
        event.flag = parsed->getBool("paused", false);
    } else if (action == "startWithWindows") {
        event.action = UiAction::StartWithWindows;
        event.flag = parsed->getBool("enabled", false);
    } else if (action == "copyDetails") {
        event.action = UiAction::CopyDetails;
    } else if (action == "hide") {
        event.action = UiAction::Hide;
    } else {
        return std::nullopt;
    }
    return event;
}

std::string statusWindowTitle(const StatusView& view) {
    if (view.state == "setup" || view.state == "reconnect") return "Parlow";
    return "Parlow \xC2\xB7 " + view.title;
}

std::string hresultText(std::string_view prefix, std::uint32_t result) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(result));
    return std::string(prefix) + " (0x" + digits + ")";
}

}  // namespace vornet::app
