// The status page's message protocol, shared by every host of the page: what a page
// message means, the window title for a view, and the texts of creation failures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/status_window.h"
#include "ui/view_model.h"

namespace vornet::app {

// The resource id of the page (type RCDATA) in the program's resources.
inline constexpr int kStatusPageResource = 101;

// The event a page message stands for, or nothing when the text is not a JSON object or
// names no known action. Missing members take their defaults: a connect without
// "startWithWindows" means true, every other flag false, a missing code empty.
std::optional<UiEvent> pageMessageEvent(std::string_view json);

// "Parlow" while the setup view shows ("setup", "reconnect"), otherwise "Parlow · " and
// the view's title.
std::string statusWindowTitle(const StatusView& view);

// `prefix` followed by "(0x", the eight lowercase hexadecimal digits of `result` and ")";
// for example "WebView2 runtime not available (0x80070002)".
std::string hresultText(std::string_view prefix, std::uint32_t result);

}  // namespace vornet::app
