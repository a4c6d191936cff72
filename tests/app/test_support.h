// Shared helpers of the application tests: a scratch folder and a scripted autostart store.
#pragma once

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>

#include "app/autostart.h"
#include "core/text.h"

namespace vornet::app::testing {

// A fresh folder under the system's temporary folder, removed at scope exit.
class ScratchFolder {
public:
    ScratchFolder() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() / ("parlow-app-" + randomHex(6) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string folder() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

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

}  // namespace vornet::app::testing
