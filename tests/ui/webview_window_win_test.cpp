// The web-view window against fake web-view objects that implement our declarations of
// the WebView2 interfaces, and against the real loader (no runtime is installed here).
#include "ui/webview_window_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vornet::app {
namespace {

using namespace vornet::webview2;

std::wstring wideText(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

LPWSTR taskText(const std::wstring& text) {
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return copy;
}

// Reference counting that never deletes: each fake lives in the test's scope, and the
// count shows whether the window released everything it took.
template <typename Interface>
class Counted : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    long refs = 1;
};

class FakeSettings : public Counted<ICoreWebView2Settings> {
public:
    std::optional<BOOL> script, webMessage, dialogs, statusBar, devTools, contextMenus, hostObjects, zoom;
#define FAKE_SETTING(Name, member)                           \
    HRESULT STDMETHODCALLTYPE get_##Name(BOOL* v) override { \
        *v = member.value_or(TRUE);                          \
        return S_OK;                                         \
    }                                                        \
    HRESULT STDMETHODCALLTYPE put_##Name(BOOL v) override {  \
        member = v;                                          \
        return S_OK;                                         \
    }
    FAKE_SETTING(IsScriptEnabled, script)
    FAKE_SETTING(IsWebMessageEnabled, webMessage)
    FAKE_SETTING(AreDefaultScriptDialogsEnabled, dialogs)
    FAKE_SETTING(IsStatusBarEnabled, statusBar)
    FAKE_SETTING(AreDevToolsEnabled, devTools)
    FAKE_SETTING(AreDefaultContextMenusEnabled, contextMenus)
    FAKE_SETTING(AreHostObjectsAllowed, hostObjects)
    FAKE_SETTING(IsZoomControlEnabled, zoom)
#undef FAKE_SETTING
};

class FakeNavigationArgs : public Counted<ICoreWebView2NavigationStartingEventArgs> {
public:
    std::optional<BOOL> cancel;
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
        *uri = taskText(L"https://example.com/");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* v) override {
        *v = TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* v) override {
        *v = FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_RequestHeaders(IUnknown** v) override {
        *v = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* v) override {
        *v = cancel.value_or(FALSE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Cancel(BOOL v) override {
        cancel = v;
        return S_OK;
    }
};

class FakeNewWindowArgs : public Counted<ICoreWebView2NewWindowRequestedEventArgs> {
public:
    std::optional<BOOL> handled;
    bool windowGiven = false;
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
        *uri = taskText(L"https://example.com/");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_NewWindow(ICoreWebView2*) override {
        windowGiven = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NewWindow(ICoreWebView2** v) override {
        *v = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Handled(BOOL v) override {
        handled = v;
        return S_OK;
    }
};

class FakeMessageArgs : public Counted<ICoreWebView2WebMessageReceivedEventArgs> {
public:
    explicit FakeMessageArgs(std::wstring json) : json_(std::move(json)) {}
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) override {
        *source = taskText(L"about:blank");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* json) override {
        *json = taskText(json_);
        return S_OK;
    }

private:
    std::wstring json_;
};

class FakeProcessArgs : public Counted<ICoreWebView2ProcessFailedEventArgs> {
public:
    FakeProcessArgs(HRESULT result, int kind) : result_(result), kind_(kind) {}
    HRESULT STDMETHODCALLTYPE get_ProcessFailedKind(int* kind) override {
        *kind = kind_;
        return result_;
    }

private:
    HRESULT result_;
    int kind_;
};

class FakeWebView : public Counted<ICoreWebView2> {
public:
    FakeSettings settings;
    std::vector<std::wstring> navigatedStrings;
    std::vector<std::wstring> posted;
    ICoreWebView2NavigationStartingEventHandler* navigationHandler = nullptr;
    ICoreWebView2NewWindowRequestedEventHandler* newWindowHandler = nullptr;
    ICoreWebView2WebMessageReceivedEventHandler* messageHandler = nullptr;
    ICoreWebView2ProcessFailedEventHandler* processHandler = nullptr;
    std::vector<std::int64_t> removedTokens;
    HRESULT captureResult = S_OK;
    ICoreWebView2CapturePreviewCompletedHandler* captureHandler = nullptr;

    ~FakeWebView() {
        for (IUnknown* h : std::initializer_list<IUnknown*>{navigationHandler, newWindowHandler, messageHandler,
                                                            processHandler, captureHandler}) {
            if (h != nullptr) h->Release();
        }
    }

    // Delivers a navigation of the page or a link and reports whether it was cancelled.
    bool navigationCancelled() {
        FakeNavigationArgs args;
        navigationHandler->Invoke(this, &args);
        EXPECT_TRUE(args.cancel.has_value()) << "the handler must decide";
        return args.cancel.value_or(FALSE) != FALSE;
    }
    void sendMessage(const std::wstring& json) {
        FakeMessageArgs args(json);
        messageHandler->Invoke(this, &args);
    }

    HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** v) override {
        settings.AddRef();
        *v = &settings;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* v) override {
        *v = taskText(L"about:blank");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) override {
        navigatedStrings.emplace_back(html);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* h,
                                                     Token* t) override {
        h->AddRef();
        navigationHandler = h;
        t->value = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_NavigationStarting(Token t) override { return removed(t); }
    HRESULT STDMETHODCALLTYPE add_ContentLoading(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_ContentLoading(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_SourceChanged(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_SourceChanged(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_HistoryChanged(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_HistoryChanged(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_NavigationCompleted(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_NavigationCompleted(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_FrameNavigationStarting(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_FrameNavigationStarting(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_FrameNavigationCompleted(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_FrameNavigationCompleted(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_ScriptDialogOpening(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_ScriptDialogOpening(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_PermissionRequested(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_PermissionRequested(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_ProcessFailed(ICoreWebView2ProcessFailedEventHandler* h, Token* t) override {
        h->AddRef();
        processHandler = h;
        t->value = 4;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_ProcessFailed(Token t) override { return removed(t); }
    HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(LPCWSTR, IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveScriptToExecuteOnDocumentCreated(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ExecuteScript(LPCWSTR, IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CapturePreview(int format, IStream* stream,
                                             ICoreWebView2CapturePreviewCompletedHandler* h) override {
        if (FAILED(captureResult)) return captureResult;
        EXPECT_EQ(format, kCaptureFormatPng);
        static const char kPng[] = "\x89PNG\r\n\x1a\nfake";
        ULONG written = 0;
        stream->Write(kPng, sizeof kPng - 1, &written);
        h->AddRef();
        captureHandler = h;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reload() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) override {
        posted.emplace_back(json);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* h,
                                                     Token* t) override {
        h->AddRef();
        messageHandler = h;
        t->value = 3;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_WebMessageReceived(Token t) override { return removed(t); }
    HRESULT STDMETHODCALLTYPE CallDevToolsProtocolMethod(LPCWSTR, LPCWSTR, IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_BrowserProcessId(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CanGoBack(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CanGoForward(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GoBack() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GoForward() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevToolsProtocolEventReceiver(LPCWSTR, IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_NewWindowRequested(ICoreWebView2NewWindowRequestedEventHandler* h,
                                                     Token* t) override {
        h->AddRef();
        newWindowHandler = h;
        t->value = 2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_NewWindowRequested(Token t) override { return removed(t); }

private:
    HRESULT removed(Token t) {
        removedTokens.push_back(t.value);
        return S_OK;
    }
};

class FakeController : public Counted<ICoreWebView2Controller> {
public:
    FakeWebView webview;
    HRESULT viewResult = S_OK;
    std::optional<RECT> bounds;
    std::optional<BOOL> visible;
    int focusMoves = 0;
    int parentMoves = 0;
    bool closed = false;

    HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* v) override {
        *v = visible.value_or(FALSE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL v) override {
        visible = v;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Bounds(RECT* v) override {
        *v = bounds.value_or(RECT{});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Bounds(RECT v) override {
        bounds = v;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ZoomFactor(double* v) override {
        *v = 1.0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_ZoomFactor(double) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_ZoomFactorChanged(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_ZoomFactorChanged(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT, double) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveFocus(int) override {
        ++focusMoves;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE add_MoveFocusRequested(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_MoveFocusRequested(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_GotFocus(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_GotFocus(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_LostFocus(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_LostFocus(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_AcceleratorKeyPressed(IUnknown*, Token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_AcceleratorKeyPressed(Token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() override {
        ++parentMoves;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Close() override {
        closed = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** v) override {
        if (FAILED(viewResult)) {
            *v = nullptr;
            return viewResult;
        }
        webview.AddRef();
        *v = &webview;
        return S_OK;
    }
};

class FakeEnvironment : public Counted<ICoreWebView2Environment> {
public:
    FakeController controller;
    HRESULT requestResult = S_OK;     // what CreateCoreWebView2Controller returns
    HRESULT controllerResult = S_OK;  // what the completion reports
    bool giveController = true;
    HWND parent = nullptr;
    ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* pending = nullptr;

    // The runtime completes later, from the message loop: the handler is kept until then.
    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parentWindow, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
        if (FAILED(requestResult)) return requestResult;
        parent = parentWindow;
        handler->AddRef();
        pending = handler;
        return S_OK;
    }
    void complete() {
        auto* handler = pending;
        pending = nullptr;
        handler->Invoke(controllerResult, giveController ? &controller : nullptr);
        handler->Release();
    }
};

// What a creation produced: the one call of onReady, UiEvents and process failures.
struct Outcome {
    int readyCalls = 0;
    std::unique_ptr<StatusWindow> window;
    std::string error;
    std::vector<UiEvent> events;
    int processFailures = 0;
};

struct Script {
    HRESULT factoryResult = S_OK;      // what starting the environment returns
    HRESULT environmentResult = S_OK;  // what its completion reports
    bool giveEnvironment = true;
};

// Runs the creation chain against `environment`, completing each step as the runtime
// would (the environment inside the factory call, the controller afterwards).
void create(Outcome& outcome, FakeEnvironment& environment, const Script& script, std::wstring* folderSeen = nullptr) {
    createWebViewWindow(
        GetModuleHandleW(nullptr), "C:\\Users\\me\\AppData\\Local\\Parlow\\WebView2",
        [&outcome](const UiEvent& e) { outcome.events.push_back(e); }, [&outcome] { ++outcome.processFailures; },
        [&outcome](std::unique_ptr<StatusWindow> window, const std::string& error) {
            ++outcome.readyCalls;
            outcome.window = std::move(window);
            outcome.error = error;
        },
        [&environment, script, folderSeen](const std::wstring& folder,
                                           ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
            if (folderSeen != nullptr) *folderSeen = folder;
            if (FAILED(script.factoryResult)) return script.factoryResult;
            handler->Invoke(script.environmentResult, script.giveEnvironment ? &environment : nullptr);
            return S_OK;
        });
    if (environment.pending != nullptr) environment.complete();
}

struct Created {
    FakeEnvironment environment;
    Outcome outcome;
    FakeController& controller() { return environment.controller; }
    FakeWebView& webview() { return environment.controller.webview; }
    WebViewWindow& window() { return *static_cast<WebViewWindow*>(outcome.window.get()); }
    HWND hwnd() { return static_cast<HWND>(outcome.window->hwnd()); }
};

std::unique_ptr<Created> createWorking() {
    auto created = std::make_unique<Created>();
    create(created->outcome, created->environment, Script{});
    EXPECT_EQ(created->outcome.readyCalls, 1);
    EXPECT_EQ(created->outcome.error, "");
    EXPECT_NE(created->outcome.window, nullptr);
    return created;
}

std::wstring windowTitle(HWND hwnd) {
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    return text;
}

StatusView viewOf(const char* state, const char* title) {
    StatusView view;
    view.state = state;
    view.title = title;
    return view;
}

// Catches a failure that is reported twice, not at all, with the wrong text, or that
// leaves the window alive or references held on the runtime's objects.
TEST(WebViewWindowCreation, EachFailureEndsInOneCompletionWithItsText) {
    struct Case {
        const char* name;
        Script script;
        HRESULT requestResult;
        HRESULT controllerResult;
        bool giveController;
        HRESULT viewResult;
        const char* error;
    } cases[] = {
        {"no runtime",
         {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), S_OK, true},
         S_OK,
         S_OK,
         true,
         S_OK,
         "WebView2 runtime not available (0x80070002)"},
        {"environment failed",
         {S_OK, E_FAIL, true},
         S_OK,
         S_OK,
         true,
         S_OK,
         "WebView2 environment failed (0x80004005)"},
        {"no environment", {S_OK, S_OK, false}, S_OK, S_OK, true, S_OK, "WebView2 environment failed (0x00000000)"},
        {"controller request refused", {}, E_ACCESSDENIED, S_OK, true, S_OK, "WebView2 controller failed (0x80070005)"},
        {"controller failed", {}, S_OK, E_OUTOFMEMORY, true, S_OK, "WebView2 controller failed (0x8007000e)"},
        {"no controller", {}, S_OK, S_OK, false, S_OK, "WebView2 controller failed (0x00000000)"},
        {"no view", {}, S_OK, S_OK, true, E_NOINTERFACE, "WebView2 view missing"},
    };
    for (const Case& c : cases) {
        FakeEnvironment environment;
        environment.requestResult = c.requestResult;
        environment.controllerResult = c.controllerResult;
        environment.giveController = c.giveController;
        environment.controller.viewResult = c.viewResult;
        Outcome outcome;
        create(outcome, environment, c.script);
        EXPECT_EQ(outcome.readyCalls, 1) << c.name;
        EXPECT_EQ(outcome.window, nullptr) << c.name;
        EXPECT_EQ(outcome.error, c.error) << c.name;
        EXPECT_EQ(environment.controller.refs, 1) << c.name << ": controller references left";
        EXPECT_EQ(environment.controller.webview.refs, 1) << c.name << ": view references left";
        EXPECT_TRUE(environment.controller.webview.navigatedStrings.empty()) << c.name;
    }
}

// Under wine there is no WebView2 runtime: the real loader must say so with its code, so
// that the controller falls back to the native window.
TEST(WebViewWindowCreation, RealLoaderReportsTheMissingRuntime) {
    Outcome outcome;
    createWebViewWindow(
        GetModuleHandleW(nullptr), "", [](const UiEvent&) {}, [] {},
        [&outcome](std::unique_ptr<StatusWindow> window, const std::string& error) {
            ++outcome.readyCalls;
            outcome.window = std::move(window);
            outcome.error = error;
        });
    EXPECT_EQ(outcome.readyCalls, 1);
    EXPECT_EQ(outcome.window, nullptr);
    EXPECT_EQ(outcome.error, "WebView2 runtime not available (0x80070002)");
    EXPECT_EQ(FindWindowW(L"ParlowWebViewWindow", nullptr), nullptr) << "the failed window must be destroyed";
}

// A module without the page (here a system DLL stands in for a program built without the
// resource script) must fail before any web view is asked for.
TEST(WebViewWindowCreation, MissingPageResource) {
    Outcome outcome;
    int factoryCalls = 0;
    createWebViewWindow(
        GetModuleHandleW(L"kernel32.dll"), "", [](const UiEvent&) {}, [] {},
        [&outcome](std::unique_ptr<StatusWindow> window, const std::string& error) {
            ++outcome.readyCalls;
            outcome.window = std::move(window);
            outcome.error = error;
        },
        [&factoryCalls](const std::wstring&, ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*) {
            ++factoryCalls;
            return S_OK;
        });
    EXPECT_EQ(outcome.readyCalls, 1);
    EXPECT_EQ(outcome.window, nullptr);
    EXPECT_EQ(outcome.error, "UI resource missing");
    EXPECT_EQ(factoryCalls, 0);
}

// Catches settings left at the runtime's defaults, handlers not registered, the page not
// loaded from the resource, a web view not fitted to the window, and a visible window
// before the controller asks for it.
TEST(WebViewWindowCreation, SuccessConfiguresTheViewAndLoadsThePage) {
    std::wstring folder;
    Created created;
    create(created.outcome, created.environment, Script{}, &folder);
    ASSERT_EQ(created.outcome.readyCalls, 1);
    ASSERT_NE(created.outcome.window, nullptr);
    EXPECT_EQ(created.outcome.error, "");
    EXPECT_STREQ(created.outcome.window->kind(), "webview");
    EXPECT_EQ(folder, L"C:\\Users\\me\\AppData\\Local\\Parlow\\WebView2");
    EXPECT_EQ(created.environment.parent, created.hwnd());

    FakeSettings& s = created.webview().settings;
    // One row per setting: [value set, expected].
    const std::pair<std::optional<BOOL>, BOOL> settings[] = {{s.devTools, FALSE},  {s.contextMenus, FALSE},
                                                             {s.statusBar, FALSE}, {s.zoom, FALSE},
                                                             {s.dialogs, FALSE},   {s.webMessage, TRUE}};
    for (const auto& [value, expected] : settings) {
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(*value, expected);
    }
    EXPECT_NE(created.webview().navigationHandler, nullptr);
    EXPECT_NE(created.webview().newWindowHandler, nullptr);
    EXPECT_NE(created.webview().messageHandler, nullptr);
    EXPECT_NE(created.webview().processHandler, nullptr);

    ASSERT_EQ(created.webview().navigatedStrings.size(), 1u);
    const std::wstring& page = created.webview().navigatedStrings[0];
    EXPECT_EQ(page.rfind(L"<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.find(L"<title>Parlow</title>"), std::wstring::npos);
    EXPECT_NE(page.find(L"default-src 'none'"), std::wstring::npos);

    RECT client{};
    GetClientRect(created.hwnd(), &client);
    ASSERT_TRUE(created.controller().bounds.has_value());
    EXPECT_EQ(created.controller().bounds->right - created.controller().bounds->left, client.right);
    EXPECT_EQ(created.controller().bounds->bottom - created.controller().bounds->top, client.bottom);
    EXPECT_EQ(client.right, 740) << "740 × 740 client at 96 DPI";
    EXPECT_EQ(client.bottom, 740);
    EXPECT_FALSE(created.outcome.window->isVisible());
    EXPECT_NE(SendMessageW(created.hwnd(), WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageW(created.hwnd(), WM_GETICON, ICON_SMALL, 0), 0);
}

// Catches a link that navigates, a page load that is cancelled, a reload after a render
// process crash that is cancelled, and a new window that opens.
TEST(WebViewWindowProtocol, OnlyThePagesOwnLoadNavigates) {
    auto created = createWorking();
    ASSERT_NE(created->outcome.window, nullptr);
    FakeWebView& view = created->webview();
    // One row per navigation in order: [render process crashed just before, cancelled].
    const struct {
        bool crashFirst;
        bool cancelled;
    } steps[] = {{false, false}, {false, true}, {false, true}, {true, false}, {false, true}};
    for (const auto& step : steps) {
        if (step.crashFirst) {
            FakeProcessArgs crash(S_OK, kRenderProcessExited);
            view.processHandler->Invoke(&view, &crash);
        }
        EXPECT_EQ(view.navigationCancelled(), step.cancelled);
    }
    EXPECT_EQ(view.navigatedStrings.size(), 2u) << "the page is loaded again after a render crash";
    EXPECT_EQ(created->outcome.processFailures, 0);

    FakeNewWindowArgs newWindow;
    view.newWindowHandler->Invoke(&view, &newWindow);
    ASSERT_TRUE(newWindow.handled.has_value());
    EXPECT_EQ(*newWindow.handled, TRUE);
    EXPECT_FALSE(newWindow.windowGiven);
}

// Catches messages that are not objects reaching the controller, wrong defaults, and
// events lost between the page and the handler.
TEST(WebViewWindowProtocol, PageMessagesBecomeUiEvents) {
    auto created = createWorking();
    ASSERT_NE(created->outcome.window, nullptr);
    struct Case {
        const wchar_t* json;
        bool mapped;
        UiAction action;
        const char* code;
        bool flag;
    } cases[] = {
        {LR"({"action":"connect","code":"ABCD-EFGH"})", true, UiAction::Connect, "ABCD-EFGH", true},
        {LR"({"action":"connect","code":"wxyz","startWithWindows":false})", true, UiAction::Connect, "wxyz", false},
        {LR"({"action":"pause","paused":true})", true, UiAction::Pause, "", true},
        {LR"({"action":"startWithWindows","enabled":true})", true, UiAction::StartWithWindows, "", true},
        {LR"({"action":"copyDetails"})", true, UiAction::CopyDetails, "", false},
        {LR"({"action":"hide"})", true, UiAction::Hide, "", false},
        {LR"({"action":"ready"})", true, UiAction::Ready, "", false},
        {LR"("hide")", false, UiAction::Hide, "", false},
        {LR"([{"action":"hide"}])", false, UiAction::Hide, "", false},
        {LR"({"action":"open","url":"https://example.com"})", false, UiAction::Hide, "", false},
        {L"42", false, UiAction::Hide, "", false},
    };
    for (const Case& c : cases) {
        created->outcome.events.clear();
        created->webview().sendMessage(c.json);
        ASSERT_EQ(created->outcome.events.size(), c.mapped ? 1u : 0u);
        if (!c.mapped) continue;
        EXPECT_EQ(created->outcome.events[0].action, c.action);
        EXPECT_EQ(created->outcome.events[0].code, c.code);
        EXPECT_EQ(created->outcome.events[0].flag, c.flag);
    }
}

// Catches repeated posts of an unchanged view, a "ready" that does not force the next
// post, a reload that does not, and a wrong window title.
TEST(WebViewWindowProtocol, UpdatePostsEachViewOnceAndAgainAfterReady) {
    auto created = createWorking();
    ASSERT_NE(created->outcome.window, nullptr);
    FakeWebView& view = created->webview();
    const AppStatus status;
    const std::string sending = R"({"view":"status","state":"sending","title":"Sending your games"})";
    const std::string setup = R"({"view":"setup","state":"setup","title":"Welcome to Parlow"})";
    const StatusView sendingView = viewOf("sending", "Sending your games");
    const StatusView setupView = viewOf("setup", "Welcome to Parlow");
    // One row per step: [page says ready first, document, view, posts after the step, title].
    const struct {
        bool readyFirst;
        bool renderCrashFirst;
        const std::string* json;
        const StatusView* view;
        std::size_t posts;
        const wchar_t* title;
    } steps[] = {
        {false, false, &sending, &sendingView, 1, L"Parlow \u00b7 Sending your games"},
        {false, false, &sending, &sendingView, 1, L"Parlow \u00b7 Sending your games"},
        {true, false, &sending, &sendingView, 2, L"Parlow \u00b7 Sending your games"},
        {false, false, &sending, &sendingView, 2, L"Parlow \u00b7 Sending your games"},
        {false, false, &setup, &setupView, 3, L"Parlow"},
        {false, true, &setup, &setupView, 4, L"Parlow"},
        {false, false, &setup, &setupView, 4, L"Parlow"},
    };
    for (const auto& step : steps) {
        if (step.readyFirst) view.sendMessage(LR"({"action":"ready"})");
        if (step.renderCrashFirst) {
            FakeProcessArgs crash(S_OK, kRenderProcessExited);
            view.processHandler->Invoke(&view, &crash);
        }
        created->outcome.window->update(status, *step.view, *step.json);
        EXPECT_EQ(view.posted.size(), step.posts);
        EXPECT_EQ(view.posted.back(), wideText(*step.json));
        EXPECT_EQ(windowTitle(created->hwnd()), step.title);
    }
}

// Catches a browser exit that does not hand over to the native window, a render crash or
// an unknown kind that does, and a kind that cannot be read being ignored.
TEST(WebViewWindowProtocol, ProcessFailures) {
    struct Case {
        HRESULT readResult;
        int kind;
        int handOvers;
        std::size_t pageLoads;
    } cases[] = {
        {S_OK, kBrowserProcessExited, 1, 1},  {S_OK, kRenderProcessExited, 0, 2}, {S_OK, 2, 0, 1}, {S_OK, 4, 0, 1},
        {E_FAIL, kRenderProcessExited, 1, 1},
    };
    for (const Case& c : cases) {
        auto created = createWorking();
        ASSERT_NE(created->outcome.window, nullptr);
        FakeProcessArgs args(c.readResult, c.kind);
        created->webview().processHandler->Invoke(&created->webview(), &args);
        EXPECT_EQ(created->outcome.processFailures, c.handOvers) << c.kind;
        EXPECT_EQ(created->webview().navigatedStrings.size(), c.pageLoads) << c.kind;
    }
}

// Catches a window that closes or minimises instead of hiding, a web view that is not
// refitted or told about moves, and show() that leaves the web view hidden or unfocused.
TEST(WebViewWindowProtocol, WindowHidesInsteadOfClosingAndKeepsTheViewFitted) {
    auto created = createWorking();
    ASSERT_NE(created->outcome.window, nullptr);
    HWND hwnd = created->hwnd();
    StatusWindow& window = *created->outcome.window;
    window.show();
    EXPECT_TRUE(window.isVisible());
    ASSERT_TRUE(created->controller().visible.has_value());
    EXPECT_EQ(*created->controller().visible, TRUE);
    EXPECT_GE(created->controller().focusMoves, 1);

    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_FALSE(window.isVisible());
    window.show();
    EXPECT_TRUE(window.isVisible());
    SendMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_FALSE(IsWindowVisible(hwnd));
    window.show();

    SetWindowPos(hwnd, nullptr, 10, 10, 600, 500, SWP_NOZORDER);
    RECT client{};
    GetClientRect(hwnd, &client);
    ASSERT_TRUE(created->controller().bounds.has_value());
    EXPECT_EQ(created->controller().bounds->right, client.right);
    EXPECT_EQ(created->controller().bounds->bottom, client.bottom);
    EXPECT_GE(created->controller().parentMoves, 1);

    MINMAXINFO limits{};
    SendMessageW(hwnd, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, 480);
    EXPECT_EQ(limits.ptMinTrackSize.y, 420);
    window.hide();
    EXPECT_FALSE(window.isVisible());
}

// Catches a capture that does not report, reports success without a web view, or leaves
// the file unwritten.
TEST(WebViewWindowCapture, Outcomes) {
    {
        WebViewWindow bare(
            GetModuleHandleW(nullptr), [](const UiEvent&) {}, [] {}, {});
        std::optional<bool> result;
        bare.capture("never.png", [&](bool ok) { result = ok; });
        ASSERT_TRUE(result.has_value()) << "reported at once";
        EXPECT_FALSE(*result);
    }
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder) + "parlow-webview-capture-test.png";
    {
        auto created = createWorking();
        ASSERT_NE(created->outcome.window, nullptr);
        std::optional<bool> result;
        created->outcome.window->capture(path, [&](bool ok) { result = ok; });
        EXPECT_FALSE(result.has_value()) << "the runtime has not completed yet";
        ASSERT_NE(created->webview().captureHandler, nullptr);
        created->webview().captureHandler->Invoke(S_OK);
        ASSERT_TRUE(result.has_value());
        EXPECT_TRUE(*result);
        std::ifstream file(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes, std::string("\x89PNG\r\n\x1a\nfake"));
    }
    {
        auto created = createWorking();
        ASSERT_NE(created->outcome.window, nullptr);
        created->webview().captureResult = E_FAIL;
        std::optional<bool> result;
        created->outcome.window->capture(path, [&](bool ok) { result = ok; });
        ASSERT_TRUE(result.has_value());
        EXPECT_FALSE(*result);
    }
    DeleteFileA(path.c_str());
}

// Catches callbacks that reach a destroyed window, registrations left behind, a controller
// that is not closed, and references that are never released.
TEST(WebViewWindowLifetime, DestructionDetachesEverything) {
    auto created = createWorking();
    ASSERT_NE(created->outcome.window, nullptr);
    HWND hwnd = created->hwnd();
    FakeWebView& view = created->webview();
    created->outcome.window.reset();
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_TRUE(created->controller().closed);
    EXPECT_EQ(created->controller().refs, 1);
    EXPECT_EQ(view.refs, 1);
    std::vector<std::int64_t> removed = view.removedTokens;
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::int64_t>{1, 2, 3, 4}));

    // The runtime may still deliver what it had queued: nothing happens.
    view.sendMessage(LR"({"action":"hide"})");
    FakeProcessArgs exited(S_OK, kBrowserProcessExited);
    view.processHandler->Invoke(&view, &exited);
    FakeNavigationArgs navigation;
    view.navigationHandler->Invoke(&view, &navigation);
    EXPECT_TRUE(created->outcome.events.empty());
    EXPECT_EQ(created->outcome.processFailures, 0);
    EXPECT_FALSE(navigation.cancel.has_value());
}

}  // namespace
}  // namespace vornet::app
