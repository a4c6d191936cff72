#include "ui/page_protocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vornet::app {
namespace {

// Catches a wrong action mapping, wrong defaults for missing or mistyped members (a connect
// without its flag must mean "start with Windows"), and messages that are not objects or
// name no known action being acted on.
TEST(PageProtocol, MessagesMapToEvents) {
    struct Case {
        const char* json;
        bool mapped;
        UiAction action;
        const char* code;
        bool flag;
    } cases[] = {
        {R"({"action":"ready"})", true, UiAction::Ready, "", false},
        {R"({"action":"connect","code":"ABCD-EFGH","startWithWindows":false})", true, UiAction::Connect, "ABCD-EFGH",
         false},
        {R"({"action":"connect","code":"ABCD-EFGH"})", true, UiAction::Connect, "ABCD-EFGH", true},
        {R"({"action":"connect"})", true, UiAction::Connect, "", true},
        {R"({"action":"connect","code":42,"startWithWindows":"no"})", true, UiAction::Connect, "", true},
        {R"({"action":"connect","code":"\u00c9t\u00e9-1"})", true, UiAction::Connect, "\xC3\x89t\xC3\xA9-1", true},
        {R"({"action":"pause","paused":true})", true, UiAction::Pause, "", true},
        {R"({"action":"pause"})", true, UiAction::Pause, "", false},
        {R"({"action":"startWithWindows","enabled":true})", true, UiAction::StartWithWindows, "", true},
        {R"({"action":"startWithWindows"})", true, UiAction::StartWithWindows, "", false},
        {R"({"action":"copyDetails"})", true, UiAction::CopyDetails, "", false},
        {R"({"action":"hide"})", true, UiAction::Hide, "", false},
        {R"({"action":"navigate","url":"https://example.com"})", false, UiAction::Ready, "", false},
        {R"({"action":"Ready"})", false, UiAction::Ready, "", false},
        {R"({"code":"ABCD"})", false, UiAction::Ready, "", false},
        {R"({"action":1})", false, UiAction::Ready, "", false},
        {R"("ready")", false, UiAction::Ready, "", false},
        {R"(["ready"])", false, UiAction::Ready, "", false},
        {"null", false, UiAction::Ready, "", false},
        {"{\"action\":\"ready\"", false, UiAction::Ready, "", false},
        {"", false, UiAction::Ready, "", false},
    };
    for (const Case& c : cases) {
        std::optional<UiEvent> event = pageMessageEvent(c.json);
        ASSERT_EQ(event.has_value(), c.mapped) << c.json;
        if (!event) continue;
        EXPECT_EQ(event->action, c.action) << c.json;
        EXPECT_EQ(event->code, c.code) << c.json;
        EXPECT_EQ(event->flag, c.flag) << c.json;
    }
}

// Catches a title that names the setup states, or loses the middle dot separator.
TEST(PageProtocol, WindowTitle) {
    struct Case {
        const char* state;
        const char* title;
        const char* expected;
    } cases[] = {
        {"setup", "Welcome to Parlow", "Parlow"},
        {"reconnect", "Connect this PC again", "Parlow"},
        {"sending", "Sending your games", "Parlow \xC2\xB7 Sending your games"},
        {"paused", "Paused", "Parlow \xC2\xB7 Paused"},
        {"offline", "Can't reach Parlow", "Parlow \xC2\xB7 Can't reach Parlow"},
    };
    for (const Case& c : cases) {
        StatusView view;
        view.state = c.state;
        view.title = c.title;
        EXPECT_EQ(statusWindowTitle(view), c.expected) << c.state;
    }
}

// Catches upper-case or unpadded hexadecimal digits and sign extension of failure codes.
TEST(PageProtocol, ResultTexts) {
    struct Case {
        const char* prefix;
        std::uint32_t result;
        const char* expected;
    } cases[] = {
        {"WebView2 runtime not available", 0x80070002u, "WebView2 runtime not available (0x80070002)"},
        {"WebView2 environment failed", 0x80004005u, "WebView2 environment failed (0x80004005)"},
        {"WebView2 controller failed", 0x0000ABCDu, "WebView2 controller failed (0x0000abcd)"},
        {"WebView2 controller failed", 0u, "WebView2 controller failed (0x00000000)"},
    };
    for (const Case& c : cases) EXPECT_EQ(hresultText(c.prefix, c.result), c.expected);
}

}  // namespace
}  // namespace vornet::app
