#include "app/app_options.h"

#include <limits>

namespace vornet::app {

std::int32_t parseRunSeconds(const WideString& text) {
    std::size_t i = 0;
    auto isSpace = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f'; };
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        // Saturate rather than wrap: a huge value still means "a long time", never negative.
        if (value > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) {
            value = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
        }
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

AppOptions parseArguments(const std::vector<WideString>& arguments) {
    AppOptions options;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const WideString& a = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (a == u"--background") {
            options.background = true;
        } else if (a == u"--native-ui") {
            options.nativeUi = true;
        } else if (a == u"--demo") {
            options.demo = true;
        } else if (a == u"--ui-selftest") {
            if (hasValue) options.uiSelftest = arguments[++i];
        } else if (a == u"--config") {
            if (hasValue) options.configPath = arguments[++i];
        } else if (a == u"--connect") {
            if (hasValue) options.connectCode = wideToUtf8(arguments[++i]);
        } else if (a == u"--status-file") {
            if (hasValue) options.statusFile = arguments[++i];
        } else if (a == u"--run-seconds") {
            if (hasValue) options.runSeconds = parseRunSeconds(arguments[++i]);
        }
    }
    return options;
}

}  // namespace vornet::app
