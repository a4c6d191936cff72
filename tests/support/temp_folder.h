// A fresh folder under the system temporary folder, readable by its owner only, removed with
// everything in it at scope end.
#pragma once

#include <filesystem>
#include <string>

namespace vornet::testing {

class TempFolder {
public:
    // `prefix` starts the folder's name; when the environment variable `keepVariable` is set the
    // folder is left in place for a look after the run.
    explicit TempFolder(const std::string& prefix = "parlow-test", std::string keepVariable = {});
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();

    const std::filesystem::path& path() const { return path_; }
    // UTF-8 path of the folder, or of the folder `relative` inside it (created with its parents).
    std::string utf8(const std::string& relative = {}) const;
    // UTF-8 path of `name` inside the folder; nothing is created.
    std::string file(const std::string& name) const;
    // Writes `content` to `relative` (parents created) and returns its UTF-8 path.
    std::string write(const std::string& relative, const std::string& content) const;

private:
    std::filesystem::path path_;
    std::string keepVariable_;
};

}  // namespace vornet::testing
