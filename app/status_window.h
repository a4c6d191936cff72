// The status window as the controller sees it (a web view or a native window), and the
// events a window sends back. Windows never call the controller directly: they hand a
// UiEvent to the handler they were given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/app_status.h"
#include "ui/view_model.h"

namespace vornet::app {

enum class UiAction : std::uint32_t {
    Ready = 0,             // the window can render: push the view now
    Connect = 1,           // code + flag (start with Windows)
    Pause = 2,             // flag = paused
    StartWithWindows = 3,  // flag = enabled
    CopyDetails = 4,
    Hide = 5,
};

struct UiEvent {
    UiAction action = UiAction::Ready;
    std::string code;  // UTF-8; connect only
    bool flag = false;
};

using UiEventHandler = std::function<void(const UiEvent&)>;

class StatusWindow {
public:
    StatusWindow() = default;
    StatusWindow(const StatusWindow&) = delete;
    StatusWindow& operator=(const StatusWindow&) = delete;
    virtual ~StatusWindow() = default;

    // "webview" or "native".
    virtual const char* kind() const = 0;
    // The top-level window handle (an HWND on Windows).
    virtual void* hwnd() const = 0;
    // Restores a minimised window or shows a hidden one, brings it to the foreground and
    // moves the focus into its content.
    virtual void show() = 0;
    virtual void hide() = 0;
    // Visible and not minimised.
    virtual bool isVisible() const = 0;
    virtual void update(const AppStatus& status, const StatusView& view, const std::string& viewJson) = 0;
    // Writes an image of the window to `path` (UTF-8) and calls `done` with the outcome, on
    // the user-interface thread, possibly later.
    virtual void capture(const std::string& path, std::function<void(bool)> done) = 0;
};

}  // namespace vornet::app
