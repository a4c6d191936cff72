#include "tests/support/temp_folder.h"

#include <atomic>
#include <fstream>
#include <system_error>

#include "core/text.h"

namespace vornet::testing {
namespace {

std::string utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path pathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

TempFolder::TempFolder(const std::string& prefix, std::string keepVariable) : keepVariable_(std::move(keepVariable)) {
    // The counter keeps two folders of one process apart even if the random part repeated.
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() / (prefix + "-" + randomHex(8) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(path_);
    // Private to the user, as mkdtemp makes it: code under test may refuse a folder others can read.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
}

TempFolder::~TempFolder() {
    if (!keepVariable_.empty() && getEnv(keepVariable_).has_value()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempFolder::utf8(const std::string& relative) const {
    if (relative.empty()) return utf8Of(path_);
    const std::filesystem::path full = path_ / pathOf(relative);
    std::filesystem::create_directories(full);
    return utf8Of(full);
}

std::string TempFolder::file(const std::string& name) const {
    return utf8Of(path_ / pathOf(name));
}

std::string TempFolder::write(const std::string& relative, const std::string& content) const {
    const std::filesystem::path full = path_ / pathOf(relative);
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary);
    out << content;
    return utf8Of(full);
}

}  // namespace vornet::testing
