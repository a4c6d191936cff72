// Shared helpers of the application tests: the shared temporary folder and a scripted autostart
// store.
#pragma once

#include <optional>
#include <string>

#include "app/autostart.h"
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

}  // namespace vornet::app::testing
