// The native status window under wine with a real display: its controls, keyboard, events,
// DPI scaling and the captured pixels of both views.
//
// Wine differences this file allows for:
// - wine 8 cannot switch high contrast on (SPI_SETHIGHCONTRAST fails, SPI_GETHIGHCONTRAST
//   reports off), so the high-contrast palette is injected with NativeWindowOptions and with
//   the PARLOW_TEST_HIGH_CONTRAST environment variable instead of the system setting;
// - wine's system colours stay the ordinary ones in that palette, so the checks look for the
//   system colours (highlight, window text, button text) where the fixed colours would be;
// - keys are posted to the window's queue and go through IsDialogMessageW as the program's
//   message loop does, rather than through the X server's keyboard.
#include "ui/native_window_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/demo_data.h"
#include "core/json.h"
#include "core/text.h"
#include "tests/ui/bmp_image.h"
#include "tests/ui/capture_checks.h"
#include "tests/ui/capture_palette_win.h"
#include "ui/mark.h"
#include "ui/view_model.h"

namespace vornet::app {
namespace {

using testing::BmpImage;
using testing::PixelRect;

using testing::rrggbb;

std::wstring textOf(HWND window) {
    wchar_t buffer[256] = {};
    int n = GetWindowTextW(window, buffer, 256);
    return std::wstring(buffer, static_cast<std::size_t>(std::max(n, 0)));
}

std::wstring classOf(HWND window) {
    wchar_t buffer[64] = {};
    int n = GetClassNameW(window, buffer, 64);
    std::wstring name(buffer, static_cast<std::size_t>(std::max(n, 0)));
    for (auto& c : name) c = static_cast<wchar_t>(towupper(c));
    return name;
}

RECT clientRectOf(HWND parent, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void setProcessDpiAware() {
    using SetContextFn = BOOL(WINAPI*)(HANDLE);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    auto setContext = reinterpret_cast<SetContextFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2; may fail under wine, which is not fatal.
    if (setContext) setContext(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4)));
}

class UiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setProcessDpiAware();
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new UiEnvironment);

struct Views {
    AppStatus status;
    StatusView view;
    std::string json;
};

Views setupViews(const std::string& state = "setup") {
    Views v;
    v.status.nowUnixMs = nowUnixMs();
    v.status.windowKind = "native";
    v.status.enrolled = false;
    if (state == "reconnect") {
        v.status.enrolled = true;
        applyDemoData(v.status);
        v.status.collector.set("authFailures", 2);
    }
    v.view = classifyStatus(v.status);
    v.json = writeJson(viewJson(v.status, v.view));
    return v;
}

Views demoViews(bool paused = false) {
    Views v;
    v.status.nowUnixMs = nowUnixMs();
    v.status.windowKind = "native";
    v.status.enrolled = true;
    v.status.paused = paused;
    applyDemoData(v.status);
    v.view = classifyStatus(v.status);
    v.json = writeJson(viewJson(v.status, v.view));
    return v;
}

std::string captureFolder() {
    if (auto keep = getEnv("PARLOW_UI_CAPTURE_DIR"); keep && !keep->empty()) {
        std::filesystem::create_directories(utf8ToPath(*keep));
        return *keep;
    }
    auto folder = std::filesystem::temp_directory_path() / "parlow-ui-test";
    std::filesystem::create_directories(folder);
    return folder.string();
}

class NativeWindowTest : public ::testing::Test {
protected:
    void SetUp() override { open(); }

    void open(NativeWindowOptions options = {}) {
        window_ = createNativeWindow(
            GetModuleHandleW(nullptr), [this](const UiEvent& e) { events_.push_back(e); }, options);
        ASSERT_NE(window_, nullptr);
        hwnd_ = static_cast<HWND>(window_->hwnd());
        dpi_ = dpiForWindow(hwnd_);
    }

    NativeWindow& native() { return static_cast<NativeWindow&>(*window_); }

    // Delivers everything queued, through IsDialogMessageW as the program's loop does.
    void pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (IsDialogMessageW(hwnd_, &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    void showAndFocus() {
        window_->show();
        pump();
        ASSERT_TRUE(window_->isVisible());
    }

    void apply(const Views& v) {
        window_->update(v.status, v.view, v.json);
        pump();
    }

    void type(const std::wstring& text) {
        for (wchar_t c : text) PostMessageW(GetFocus(), WM_CHAR, c, 1);
        pump();
    }

    void key(UINT vk) {
        PostMessageW(GetFocus(), WM_KEYDOWN, vk, 1);
        PostMessageW(GetFocus(), WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001));
        pump();
    }

    HWND item(int id) const { return GetDlgItem(hwnd_, id); }
    int scale(int v) const { return MulDiv(v, dpi_, 96); }

    BmpImage captureTo(const std::string& name) {
        std::string path = captureFolder() + "\\" + name;
        bool result = false, called = false;
        window_->capture(path, [&](bool ok) {
            called = true;
            result = ok;
        });
        EXPECT_TRUE(called);
        EXPECT_TRUE(result) << path;
        std::string error;
        auto image = testing::readBmp(path, &error);
        EXPECT_TRUE(image.has_value()) << error;
        return image.value_or(BmpImage{});
    }

    // The rectangle of a control in the capture, from the table at the window's DPI.
    PixelRect tableRect(int id, int clientHeight) const {
        for (const ControlSpec& s : nativeControlTable()) {
            if (static_cast<int>(s.id) != id) continue;
            int y = scale(s.y) + (s.y < 0 ? clientHeight : 0);
            return PixelRect{scale(s.x), y, scale(s.x) + scale(s.width), y + scale(s.height)};
        }
        ADD_FAILURE() << "no control " << id;
        return {};
    }

    std::unique_ptr<StatusWindow> window_;
    HWND hwnd_ = nullptr;
    int dpi_ = 96;
    std::vector<UiEvent> events_;
};

// --- The control table as a user's screen has it.

struct ExpectedControl {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    DWORD styleBits;  // must all be set
    int x, y, w, h;
    bool inSetup, inStatus;
};

// Written out independently of the window's own table: catches a control missing, created
// with the wrong class, text, style or place, or shown in the wrong view.
const ExpectedControl kExpectedControls[] = {
    {100, L"STATIC", L"", SS_OWNERDRAW, 24, 20, 32, 32, true, true},
    {101, L"STATIC", L"", SS_NOPREFIX, 70, 16, 460, 26, true, true},
    {102, L"STATIC", L"", SS_NOPREFIX, 70, 44, 460, 34, true, true},
    {200, L"STATIC", L"Your code:", 0, 70, 96, 200, 18, true, false},
    {201, L"EDIT", L"", ES_UPPERCASE | ES_AUTOHSCROLL | WS_TABSTOP, 70, 116, 260, 28, true, false},
    {202, L"BUTTON", L"Start with Windows", BS_AUTOCHECKBOX | WS_TABSTOP, 70, 156, 300, 22, true, false},
    {203, L"STATIC", L"", SS_NOPREFIX, 70, 190, 460, 36, true, false},
    {204, L"BUTTON", L"Connect", BS_DEFPUSHBUTTON | WS_TABSTOP, 340, -40, 96, 28, true, false},
    {205, L"BUTTON", L"Cancel", WS_TABSTOP, 444, -40, 96, 28, true, false},
    {300, L"BUTTON", L"Today (since midnight)", BS_GROUPBOX, 16, 84, 528, 96, false, true},
    {301, L"STATIC", L"Events recorded", 0, 30, 106, 160, 18, false, true},
    {302, L"STATIC", L"Games", 0, 202, 106, 160, 18, false, true},
    {303, L"STATIC", L"Uploaded", 0, 374, 106, 160, 18, false, true},
    {304, L"STATIC", L"0", SS_NOPREFIX, 30, 124, 160, 30, false, true},
    {305, L"STATIC", L"0", SS_NOPREFIX, 202, 124, 160, 30, false, true},
    {306, L"STATIC", L"0 B", SS_NOPREFIX, 374, 124, 160, 30, false, true},
    {307, L"STATIC", L"", SS_NOPREFIX, 30, 154, 160, 18, false, true},
    {308, L"STATIC", L"", SS_NOPREFIX, 202, 154, 160, 18, false, true},
    {309, L"BUTTON", L"Upload, last 10 minutes", BS_GROUPBOX, 16, 188, 528, 122, false, true},
    {310, L"STATIC", L"", SS_OWNERDRAW, 30, 210, 500, 72, false, true},
    {311, L"STATIC", L"10 min ago", 0, 30, 286, 200, 18, false, true},
    {312, L"STATIC", L"now", SS_RIGHT | SS_NOPREFIX, 260, 286, 274, 18, false, true},
    {313, L"BUTTON", L"Details", BS_GROUPBOX, 16, 318, 528, 186, false, true},
    {360, L"BUTTON", L"Copy details for support", WS_TABSTOP, 30, 464, 190, 28, false, true},
    {361, L"BUTTON", L"Start with Windows", BS_AUTOCHECKBOX | WS_TABSTOP, 16, -38, 220, 22, false, true},
    {362, L"BUTTON", L"Pause", WS_TABSTOP, 340, -40, 96, 28, false, true},
    {363, L"BUTTON", L"Hide", BS_DEFPUSHBUTTON | WS_TABSTOP, 444, -40, 96, 28, false, true},
    {330, L"STATIC", L"", SS_OWNERDRAW, 30, 345, 12, 12, false, true},
    {340, L"STATIC", L"", SS_NOPREFIX, 50, 342, 130, 18, false, true},
    {350, L"STATIC", L"", SS_NOPREFIX | SS_ENDELLIPSIS, 184, 342, 346, 18, false, true},
    {334, L"STATIC", L"", SS_OWNERDRAW, 30, 437, 12, 12, false, true},
    {344, L"STATIC", L"", SS_NOPREFIX, 50, 434, 130, 18, false, true},
    {354, L"STATIC", L"", SS_NOPREFIX | SS_ENDELLIPSIS, 184, 434, 346, 18, false, true},
};

void expectControlsAt(HWND window, int dpi, bool setupView, bool initialTexts) {
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, MulDiv(560, dpi, 96));
    EXPECT_EQ(client.bottom, MulDiv(572, dpi, 96));
    for (const ExpectedControl& e : kExpectedControls) {
        SCOPED_TRACE(e.id);
        HWND control = GetDlgItem(window, e.id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(classOf(control), e.cls);
        if (initialTexts) {
            EXPECT_EQ(textOf(control), e.text);
        }
        DWORD style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
        EXPECT_EQ(style & e.styleBits, e.styleBits);
        EXPECT_TRUE(style & WS_CHILD);
        RECT r = clientRectOf(window, control);
        int y = MulDiv(e.y, dpi, 96) + (e.y < 0 ? client.bottom : 0);
        EXPECT_EQ(r.left, MulDiv(e.x, dpi, 96));
        EXPECT_EQ(r.top, y);
        EXPECT_EQ(r.right - r.left, MulDiv(e.w, dpi, 96));
        EXPECT_EQ(r.bottom - r.top, MulDiv(e.h, dpi, 96));
        EXPECT_EQ(IsWindowVisible(control) != FALSE, setupView ? e.inSetup : e.inStatus);
    }
}

TEST_F(NativeWindowTest, TheRunIsAtTheDpiItAskedFor) {
    // scripts/wine-dpi-run names the DPI it set: a prefix that ignored it would otherwise pass
    // every check at 96 DPI again.
    auto expected = getEnv("PARLOW_TEST_EXPECT_DPI");
    if (!expected) GTEST_SKIP() << "no DPI asked for";
    EXPECT_EQ(std::to_string(dpi_), *expected);
}

TEST_F(NativeWindowTest, EveryControlHasItsIdClassTextAndPlaceAtTheSystemDpi) {
    showAndFocus();
    EXPECT_EQ(nativeControlTable().size(), 27u + 15u);
    expectControlsAt(hwnd_, dpi_, true, true);
    // The table's last rows stand for five rows each, 23 units apart.
    for (int i = 0; i < 5; ++i) {
        RECT dot = clientRectOf(hwnd_, item(330 + i));
        EXPECT_EQ(dot.top, scale(345 + 23 * i));
        RECT value = clientRectOf(hwnd_, item(350 + i));
        EXPECT_EQ(value.top, scale(342 + 23 * i));
    }
    EXPECT_EQ(textOf(hwnd_), L"Parlow");
    EXPECT_EQ(SendMessageW(item(202), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(item(201), EM_GETLIMITTEXT, 0, 0), 20);
    wchar_t cue[32] = {};
    EXPECT_TRUE(SendMessageW(item(201), EM_GETCUEBANNER, reinterpret_cast<WPARAM>(cue), 32));
    EXPECT_STREQ(cue, L"ABCD-EFGH-JKLM");
    EXPECT_EQ(GetFocus(), item(201));
}

TEST_F(NativeWindowTest, DpiChangeWhileOpenScalesEveryControlByOneAndAHalf) {
    if (dpi_ != 96) GTEST_SKIP() << "the prefix runs at " << dpi_ << " DPI";
    showAndFocus();
    apply(demoViews());
    RECT outer{0, 0, 840, 858};
    AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE, 0);
    RECT suggested{100, 50, 100 + outer.right - outer.left, 50 + outer.bottom - outer.top};
    SendMessageW(hwnd_, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    pump();
    expectControlsAt(hwnd_, 144, false, false);
    // The Hide button keeps 40 units (60 pixels) above the bottom edge.
    RECT client{};
    GetClientRect(hwnd_, &client);
    EXPECT_EQ(client.bottom - clientRectOf(hwnd_, item(363)).top, 60);
    HICON big = reinterpret_cast<HICON>(SendMessageW(hwnd_, WM_GETICON, ICON_BIG, 0));
    ICONINFO info{};
    ASSERT_TRUE(big && GetIconInfo(big, &info));
    BITMAP bm{};
    GetObjectW(info.hbmColor, sizeof(bm), &bm);
    EXPECT_EQ(bm.bmWidth, 48);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
}

// --- Keyboard.

struct TypingCase {
    const wchar_t* typed;
    bool sends;
    const char* code;
};

// Enter in the setup view: catches untrimmed codes, lost upper-casing, a connect sent for a
// blank field, and Enter sending nothing or twice.
const TypingCase kTypingCases[] = {
    {L"  abcd-efgh-jklm  ", true, "ABCD-EFGH-JKLM"},
    {L"x7", true, "X7"},
    {L"     ", false, ""},
};

TEST_F(NativeWindowTest, TypingACodeAndEnterSendsOneTrimmedConnect) {
    for (const TypingCase& c : kTypingCases) {
        SCOPED_TRACE(std::string(c.code));
        events_.clear();
        apply(setupViews());
        showAndFocus();
        ASSERT_EQ(GetFocus(), item(201));
        type(c.typed);
        key(VK_RETURN);
        if (c.sends) {
            ASSERT_EQ(events_.size(), 1u);
            EXPECT_EQ(events_[0].action, UiAction::Connect);
            EXPECT_EQ(events_[0].code, c.code);
            EXPECT_TRUE(events_[0].flag);
        } else {
            EXPECT_TRUE(events_.empty());
            EXPECT_EQ(GetFocus(), item(201));
        }
        SetWindowTextW(item(201), L"");
    }
}

TEST_F(NativeWindowTest, ConnectCarriesTheStartWithWindowsBox) {
    showAndFocus();
    SendMessageW(item(202), BM_CLICK, 0, 0);  // untick
    SetWindowTextW(item(201), L"ABCD");
    SendMessageW(item(204), BM_CLICK, 0, 0);
    pump();
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].action, UiAction::Connect);
    EXPECT_EQ(events_[0].code, "ABCD");
    EXPECT_FALSE(events_[0].flag);
}

struct KeyCase {
    bool statusView;
    UINT vk;
    UiAction action;
};

// Escape in both views and Enter in the status view ask to hide: catches a key that is lost,
// sends the wrong event, or sends it more than once.
const KeyCase kHideKeys[] = {
    {false, VK_ESCAPE, UiAction::Hide},
    {true, VK_ESCAPE, UiAction::Hide},
    {true, VK_RETURN, UiAction::Hide},
};

TEST_F(NativeWindowTest, EscapeAndEnterInTheStatusViewHide) {
    for (const KeyCase& c : kHideKeys) {
        SCOPED_TRACE(c.vk);
        events_.clear();
        apply(c.statusView ? demoViews() : setupViews());
        showAndFocus();
        SetFocus(item(c.statusView ? 360 : 201));
        key(c.vk);
        ASSERT_EQ(events_.size(), 1u);
        EXPECT_EQ(events_[0].action, c.action);
        EXPECT_FALSE(events_[0].flag);
        EXPECT_TRUE(events_[0].code.empty());
    }
}

// Tab order per view: catches controls without a tab stop, hidden controls that take the
// focus, and a wrong order.
TEST_F(NativeWindowTest, TabWalksTheControlsOfTheShowingView) {
    struct Walk {
        bool statusView;
        std::vector<int> order;
    };
    const Walk walks[] = {
        {false, {201, 202, 204, 205, 201}},
        {true, {360, 361, 362, 363, 360}},
    };
    for (const Walk& w : walks) {
        apply(w.statusView ? demoViews() : setupViews());
        showAndFocus();
        SetFocus(item(w.order[0]));
        for (std::size_t i = 1; i < w.order.size(); ++i) {
            key(VK_TAB);
            EXPECT_EQ(GetDlgCtrlID(GetFocus()), w.order[i]) << "step " << i;
        }
    }
}

TEST_F(NativeWindowTest, FocusFollowsTheViewItWasHiddenFrom) {
    // The code field is focused when the status view takes over: Enter then reaches the
    // status view's default button instead of a hidden field.
    apply(setupViews());
    showAndFocus();
    ASSERT_EQ(GetFocus(), item(201));
    apply(demoViews());
    EXPECT_EQ(GetFocus(), item(363));
    key(VK_RETURN);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].action, UiAction::Hide);
    apply(setupViews());
    EXPECT_EQ(GetFocus(), item(201));
}

TEST_F(NativeWindowTest, FocusComesBackToItsControlWhenTheWindowIsActivatedAgain) {
    struct Case {
        bool statusView;
        int focused;
    };
    // The control that had the focus gets it back after another window was active: catches
    // the focus left on the window itself, where typing goes nowhere.
    const Case cases[] = {{false, 201}, {false, 202}, {true, 361}};
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.focused);
        apply(c.statusView ? demoViews() : setupViews());
        showAndFocus();
        SetFocus(item(c.focused));
        SetActiveWindow(other);
        pump();
        ASSERT_NE(GetFocus(), item(c.focused));
        SetActiveWindow(hwnd_);
        pump();
        EXPECT_EQ(GetFocus(), item(c.focused));
    }
    DestroyWindow(other);
}

// --- Buttons.

struct ClickCase {
    int id;
    bool paused;
    UiAction action;
    bool flag;
};

// The event of each button of the status view: catches a swapped id, an inverted pause
// request or a check box reporting its old state.
const ClickCase kClicks[] = {
    {362, false, UiAction::Pause, true},
    {362, true, UiAction::Pause, false},
    {361, false, UiAction::StartWithWindows, true},
    {363, false, UiAction::Hide, false},
    {360, false, UiAction::CopyDetails, false},
};

TEST_F(NativeWindowTest, StatusButtonsSendTheirEvents) {
    for (const ClickCase& c : kClicks) {
        SCOPED_TRACE(c.id);
        events_.clear();
        apply(demoViews(c.paused));
        EXPECT_EQ(textOf(item(362)), c.paused ? L"Resume" : L"Pause");
        SendMessageW(item(c.id), BM_CLICK, 0, 0);
        pump();
        ASSERT_EQ(events_.size(), 1u);
        EXPECT_EQ(events_[0].action, c.action);
        EXPECT_EQ(events_[0].flag, c.flag);
    }
}

TEST_F(NativeWindowTest, CancelInTheSetupViewHides) {
    SendMessageW(item(205), BM_CLICK, 0, 0);
    pump();
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].action, UiAction::Hide);
}

TEST_F(NativeWindowTest, CopiedShowsForAboutOnePointEightSecondsThroughUpdates) {
    apply(demoViews());
    SendMessageW(item(360), BM_CLICK, 0, 0);
    const auto clicked = std::chrono::steady_clock::now();
    pump();
    EXPECT_EQ(textOf(item(360)), L"Copied");
    apply(demoViews());
    EXPECT_EQ(textOf(item(360)), L"Copied");
    // Wait for the label to come back, on the window's own timer.
    const auto limit = clicked + std::chrono::seconds(20);
    while (textOf(item(360)) == L"Copied" && std::chrono::steady_clock::now() < limit) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        pump();
    }
    const auto shown =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - clicked);
    EXPECT_EQ(textOf(item(360)), L"Copy details for support");
    // A timer never fires early; wine's may be a few milliseconds coarse.
    EXPECT_GE(shown.count(), 1780);
}

TEST_F(NativeWindowTest, CloseAndMinimiseOnlyHide) {
    struct Case {
        UINT message;
        WPARAM wParam;
    };
    // Both ways of closing: catches a window that is destroyed or left minimised on the
    // taskbar instead of hidden.
    const Case cases[] = {{WM_CLOSE, 0}, {WM_SYSCOMMAND, SC_MINIMIZE}};
    for (const Case& c : cases) {
        showAndFocus();
        SendMessageW(hwnd_, c.message, c.wParam, 0);
        pump();
        EXPECT_TRUE(IsWindow(hwnd_));
        EXPECT_FALSE(IsWindowVisible(hwnd_));
        EXPECT_FALSE(IsIconic(hwnd_));
        EXPECT_FALSE(window_->isVisible());
    }
}

// --- update().

TEST_F(NativeWindowTest, SetupViewKeepsTypedTextUntilTheStateChanges) {
    showAndFocus();
    SetWindowTextW(item(201), L"TYPED-BEFORE");
    apply(setupViews());
    EXPECT_EQ(textOf(item(201)), L"");
    SetWindowTextW(item(201), L"ABC");
    apply(setupViews());
    EXPECT_EQ(textOf(item(201)), L"ABC");
    apply(setupViews("reconnect"));
    EXPECT_EQ(textOf(item(201)), L"");
    EXPECT_FALSE(IsWindowVisible(item(202)));
    EXPECT_TRUE(IsWindowVisible(item(201)));
}

TEST_F(NativeWindowTest, WhileEnrollingConnectIsDisabledAndTheFieldReadOnly) {
    Views v = setupViews();
    v.status.enrolling = true;
    v.status.connectError = "That code was not accepted. Check the code in your invite and try again.";
    apply(v);
    EXPECT_FALSE(IsWindowEnabled(item(204)));
    EXPECT_EQ(textOf(item(204)), L"Connecting\u2026");
    EXPECT_TRUE(GetWindowLongPtrW(item(201), GWL_STYLE) & ES_READONLY);
    EXPECT_EQ(textOf(item(203)), L"That code was not accepted. Check the code in your invite and try again.");
    showAndFocus();
    BmpImage image = captureTo("native-setup-enrolling.bmp");
    // The error text and the relabelled button are drawn (the button's label fits in it).
    for (int id : {203, 204}) {
        const PixelRect r = testing::controlRect(id, dpi_, image.height);
        EXPECT_GT(testing::countInk(image, r, image.at(r.left + 3, r.top + 3)), 20) << id;
    }
    v.status.enrolling = false;
    apply(v);
    EXPECT_TRUE(IsWindowEnabled(item(204)));
    EXPECT_EQ(textOf(item(204)), L"Connect");
    EXPECT_FALSE(GetWindowLongPtrW(item(201), GWL_STYLE) & ES_READONLY);
}

TEST_F(NativeWindowTest, StatusViewShowsTheViewJson) {
    apply(demoViews());
    EXPECT_EQ(SendMessageW(hwnd_, WM_USER, 0, 0), 0x534B016B);
    EXPECT_EQ(textOf(hwnd_), L"Parlow \u00B7 Sending your games");
    // Texts from the demonstration data's view JSON, control by control: catches a counter
    // put in the wrong control or a member read from the wrong group.
    const std::pair<int, const wchar_t*> texts[] = {
        {101, L"Sending your games"},
        {304, L"1,284"},
        {305, L"3"},
        {306, L"2.1 MB"},
        {307, L"18,402 in total"},
        {308, L"41 in total"},
        {312, L"now 3.3 KB/s"},
        {340, L"Parlow"},
        {341, L"League"},
        {344, L"Version"},
        {354, L"0.3.0"},
    };
    for (const auto& [id, text] : texts) EXPECT_EQ(textOf(item(id)), text) << id;
    apply(setupViews());
    EXPECT_EQ(SendMessageW(hwnd_, WM_USER, 0, 0), 0x534B00CC);
    EXPECT_EQ(textOf(hwnd_), L"Parlow");
}

// --- Captures.

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

class CaptureTest : public NativeWindowTest {
public:
    testing::CapturePalette palette() { return testing::systemPalette(native().highContrast()); }

    void checkSetup(const BmpImage& image) {
        auto problems = testing::checkSetupCapture(image, dpi_, palette());
        EXPECT_TRUE(problems.empty()) << joined(problems);
    }

    void checkBars(const BmpImage& image, const std::vector<double>& rates, bool paused) {
        auto problems = testing::checkChartBars(image, dpi_, palette(), rates, paused);
        EXPECT_TRUE(problems.empty()) << joined(problems);
    }

    // The status view with the demonstration data.
    void checkStatus(const BmpImage& image) {
        testing::StatusExpectation expected;
        const StatsSnapshot stats = demoStats();
        expected.rates.assign(stats.rateHistory.begin(), stats.rateHistory.end());
        auto problems = testing::checkStatusCapture(image, dpi_, palette(), expected);
        EXPECT_TRUE(problems.empty()) << joined(problems);
    }

    std::string suffix() { return std::to_string(dpi_) + (native().highContrast() ? "-hc" : "") + ".bmp"; }
};

TEST_F(CaptureTest, SetupAndStatusViewsAtTheSystemDpi) {
    showAndFocus();
    apply(setupViews());
    checkSetup(captureTo("native-setup-" + suffix()));
    apply(demoViews());
    checkStatus(captureTo("native-status-" + suffix()));
}

TEST_F(CaptureTest, HighContrastPaletteInjected) {
    window_.reset();
    open(NativeWindowOptions{true});
    ASSERT_TRUE(native().highContrast());
    showAndFocus();
    apply(setupViews());
    checkSetup(captureTo("native-setup-" + suffix()));
    apply(demoViews());
    checkStatus(captureTo("native-status-" + suffix()));
}

struct ChartCase {
    const char* name;
    std::vector<double> rates;
    bool paused;
    bool highContrast;
};

// The chart rule's edge cases: catches a missing one-pixel floor for empty slots, a wrong
// strength for quiet, busy or paused slots, and empty slots drawn in high contrast.
const ChartCase kChartCases[] = {
    {"all zero", std::vector<double>(30, 0.0), false, false},
    {"all zero, paused", std::vector<double>(30, 0.0), true, false},
    {"all zero, high contrast", std::vector<double>(30, 0.0), false, true},
    {"quiet and busy",
     {0, 10, 100, 250, 251, 1000, 0,  1,  2,  3,  4,  5,  6,  7,  8,
      9, 10, 11,  12,  13,  14,   15, 16, 17, 18, 19, 20, 21, 22, 999},
     false,
     false},
    {"quiet and busy, paused",
     {0, 10, 100, 250, 251, 1000, 0,  1,  2,  3,  4,  5,  6,  7,  8,
      9, 10, 11,  12,  13,  14,   15, 16, 17, 18, 19, 20, 21, 22, 999},
     true,
     false},
    {"quiet and busy, high contrast",
     {0, 10, 100, 250, 251, 1000, 0,  1,  2,  3,  4,  5,  6,  7,  8,
      9, 10, 11,  12,  13,  14,   15, 16, 17, 18, 19, 20, 21, 22, 999},
     false,
     true},
};

TEST_F(CaptureTest, ChartBarsFollowTheRule) {
    for (const ChartCase& c : kChartCases) {
        SCOPED_TRACE(c.name);
        window_.reset();
        open(NativeWindowOptions{c.highContrast});
        showAndFocus();
        Views v = demoViews(c.paused);
        for (std::size_t i = 0; i < kRateSlots; ++i) v.status.stats.rateHistory[i] = c.rates[i];
        v.json = writeJson(viewJson(v.status, v.view));
        apply(v);
        checkBars(captureTo("native-chart.bmp"), c.rates, c.paused);
    }
}

struct RingCase {
    const char* name;
    bool paused;
    bool failing;
    int tone;
    std::array<int, 5> dots;
};

// The ring and the row dots follow the state and the rows' tones: catches a ring stuck in
// one colour, tones mapped to the wrong colours, or a dot left from an earlier update.
const RingCase kRingCases[] = {
    {"sending", false, false, 0, {0, 0, -1, -1, -1}},
    {"paused", true, false, 1, {0, -1, -1, -1, -1}},
    {"offline", false, true, 2, {2, 0, -1, -1, -1}},
};

TEST_F(CaptureTest, RingAndDotsTakeTheToneOfTheState) {
    showAndFocus();
    for (const RingCase& c : kRingCases) {
        SCOPED_TRACE(c.name);
        Views v = demoViews(c.paused);
        if (c.failing) {
            v.status.collector.set("serverConnection", "not_connected");
            v.status.collector.set("lastSuccessUnixMs", v.status.nowUnixMs - 600000);
            v.status.collector.set("consecutiveFailures", 5);
            v.view = classifyStatus(v.status);
            v.json = writeJson(viewJson(v.status, v.view));
        }
        apply(v);
        testing::StatusExpectation expected;
        expected.rates.assign(v.status.stats.rateHistory.begin(), v.status.stats.rateHistory.end());
        expected.paused = c.paused;
        expected.tone = c.tone;
        expected.dots = c.dots;
        auto problems = testing::checkStatusCapture(captureTo("native-ring.bmp"), dpi_, palette(), expected);
        EXPECT_TRUE(problems.empty()) << joined(problems);
    }
}

TEST_F(CaptureTest, TurningHighContrastOnWhileOpenSwitchesAtOnce) {
    showAndFocus();
    apply(demoViews());
    checkStatus(captureTo("native-status-before-hc.bmp"));
    SetEnvironmentVariableW(kHighContrastEnv, L"1");
    SendMessageW(hwnd_, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    pump();
    SetEnvironmentVariableW(kHighContrastEnv, nullptr);
    EXPECT_TRUE(native().highContrast());
    checkStatus(captureTo("native-status-after-hc.bmp"));
}

TEST_F(CaptureTest, CaptureAfterADpiChangeHasTheNewClientSize) {
    if (dpi_ != 96) GTEST_SKIP() << "the prefix runs at " << dpi_ << " DPI";
    showAndFocus();
    RECT outer{0, 0, 840, 858};
    AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE, 0);
    RECT suggested{10, 10, 10 + outer.right - outer.left, 10 + outer.bottom - outer.top};
    SendMessageW(hwnd_, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    pump();
    dpi_ = 144;
    apply(setupViews());
    checkSetup(captureTo("native-setup-dpichange-144.bmp"));
    apply(demoViews());
    checkStatus(captureTo("native-status-dpichange-144.bmp"));
}

// A test that reads the self-test's files from outside the prefix cannot ask for the system
// colours: it uses CapturePalette's defaults, which must be the prefix's own.
TEST(CapturePaletteDefaults, AreThePrefixSystemColours) {
    const testing::CapturePalette defaults;
    const std::pair<int, std::uint32_t> colours[] = {
        {COLOR_WINDOW, defaults.window},       {COLOR_BTNFACE, defaults.face},
        {COLOR_HIGHLIGHT, defaults.highlight}, {COLOR_WINDOWTEXT, defaults.windowText},
        {COLOR_BTNTEXT, defaults.buttonText},
    };
    for (const auto& [index, value] : colours) EXPECT_EQ(rrggbb(GetSysColor(index)), value) << "colour " << index;
}

TEST(WriteBmp, HeaderFieldsAndTopDownRows) {
    const std::uint32_t pixels[6] = {0x112233, 0x445566, 0x778899, 0xAABBCC, 0xDDEEFF, 0x010203};
    std::string path = captureFolder() + "\\tiny.bmp";
    ASSERT_TRUE(writeBmp(path, 3, 2, pixels));
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 54u + 24u);
    auto le32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
        return v;
    };
    // Each header field at its offset: catches a bottom-up height, a wrong offset or size.
    const std::pair<std::size_t, std::uint32_t> fields[] = {
        {2, 78}, {6, 0}, {10, 54}, {14, 40}, {18, 3}, {22, static_cast<std::uint32_t>(-2)}, {30, 0}, {34, 0},
    };
    EXPECT_EQ(bytes.substr(0, 2), "BM");
    for (const auto& [at, value] : fields) EXPECT_EQ(le32(at), value) << "offset " << at;
    EXPECT_EQ(le32(26), 1u | (32u << 16));
    auto image = testing::readBmp(path);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->at(0, 0), 0x112233u);
    EXPECT_EQ(image->at(2, 1), 0x010203u);
    EXPECT_FALSE(writeBmp(captureFolder() + "\\no-such-folder\\x.bmp", 3, 2, pixels));
}

}  // namespace
}  // namespace vornet::app
