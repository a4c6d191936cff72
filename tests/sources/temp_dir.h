// A fresh folder under the system temporary folder, removed with everything in it at scope end.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "core/text.h"

namespace vornet::testing {

class TempDir {
public:
    TempDir() {
        path_ = std::filesystem::temp_directory_path() / ("parlow-sources-" + randomHex(8));
        std::filesystem::create_directories(path_);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    // UTF-8 path of the folder, or of `relative` inside it (created with its parents).
    std::string path(const std::string& relative = {}) const {
        if (relative.empty()) return toUtf8(path_);
        auto full = path_ / std::filesystem::u8path(relative);
        std::filesystem::create_directories(full);
        return toUtf8(full);
    }
    // Writes `content` to `relative` (parents created) and returns its UTF-8 path.
    std::string write(const std::string& relative, const std::string& content) const {
        auto full = path_ / std::filesystem::u8path(relative);
        std::filesystem::create_directories(full.parent_path());
        std::ofstream out(full, std::ios::binary);
        out << content;
        return toUtf8(full);
    }

private:
    static std::string toUtf8(const std::filesystem::path& path) {
        auto text = path.u8string();
        return std::string(text.begin(), text.end());
    }
    std::filesystem::path path_;
};

}  // namespace vornet::testing
