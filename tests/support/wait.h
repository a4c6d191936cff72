// Waiting on a condition that another process or thread makes true: polled, with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "core/files.h"
#include "core/json.h"

namespace vornet::testing {

// Polls `ready` every 50 ms until it holds or `ms` passed.
inline bool waitUntil(const std::function<bool()>& ready, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The JSON object in `file`, or nothing while it is missing, partial or not an object.
inline std::optional<JsonValue> readJsonFile(const std::string& file) {
    std::optional<std::string> text = readWholeFile(file);
    if (!text) return std::nullopt;
    std::optional<JsonValue> value = parseJson(*text);
    if (!value || !value->isObject()) return std::nullopt;
    return value;
}

// Waits until `file` holds a JSON object (the simulators write their state file once ready).
inline std::optional<JsonValue> waitForJsonFile(const std::string& file, int ms = 10000) {
    std::optional<JsonValue> value;
    waitUntil([&] { return (value = readJsonFile(file)).has_value(); }, ms);
    return value;
}

}  // namespace vornet::testing
