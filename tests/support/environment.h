// Process environment variables for a test's scope, and UTF-8 path text as a path object.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vornet::testing {

// A path object for UTF-8 path text.
inline std::filesystem::path pathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Sets (or, with nothing, removes) a process environment variable for the platform's own
// lookups; implemented per platform.
void setEnvironment(const std::string& name, const std::optional<std::string>& value);

// Sets an environment variable for one scope and restores the previous value after it.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace vornet::testing
