// Shared helpers of the application tests: the shared temporary folder and a scripted autostart
// store.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/autostart.h"
#include "app/status_window.h"
#include "core/files.h"
#include "tests/support/temp_folder.h"

namespace vornet::app::testing {

using vornet::testing::TempFolder;

// An autostart store held in memory that counts writes.
class FakeAutostart final : public Autostart {
public:
    std::optional<std::string> value;
    int writes = 0;
    int removes = 0;
    bool refuse = false;

    std::optional<std::string> read() override { return value; }
    bool write(const std::string& command) override {
        ++writes;
        if (refuse) return false;
        value = command;
        return true;
    }
    bool remove() override {
        ++removes;
        if (refuse) return false;
        value.reset();
        return true;
    }
};

// A status window that records what the controller asks of it.
struct WindowLog {
    int shows = 0;
    int hides = 0;
    int updates = 0;
    bool visible = false;
    std::string lastView;
    std::vector<std::string> captures;
    bool captureSucceeds = true;
    bool destroyed = false;
};

class RecordingWindow final : public StatusWindow {
public:
    RecordingWindow(std::string kind, std::shared_ptr<WindowLog> log) : kind_(std::move(kind)), log_(std::move(log)) {}
    ~RecordingWindow() override { log_->destroyed = true; }
    const char* kind() const override { return kind_.c_str(); }
    void* hwnd() const override { return nullptr; }
    void show() override {
        ++log_->shows;
        log_->visible = true;
    }
    void hide() override {
        ++log_->hides;
        log_->visible = false;
    }
    bool isVisible() const override { return log_->visible; }
    void update(const AppStatus&, const StatusView&, const std::string& viewJson) override {
        ++log_->updates;
        log_->lastView = viewJson;
    }
    void capture(const std::string& path, std::function<void(bool)> done) override {
        log_->captures.push_back(path);
        if (log_->captureSucceeds) writeFileAtomically(path, "BM");
        done(log_->captureSucceeds);
    }

private:
    std::string kind_;
    std::shared_ptr<WindowLog> log_;
};

}  // namespace vornet::app::testing
