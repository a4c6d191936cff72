// The capture file holds personal game data: who may read it, and where it may be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "collector/collector.h"
#include "core/files.h"
#include "core/json.h"
#include "core/text.h"
#include "tests/support/fake_http_client.h"

namespace vornet {
namespace {

namespace fs = std::filesystem;

Config captureConfig(const std::string& captureDir) {
    std::vector<std::string> errors, warnings;
    std::string text =
        "{\"server\":{\"url\":\"http://127.0.0.1:9\",\"allowPlainHttpLoopback\":true},\"collection\":{\"captureDir\":" +
        writeJson(JsonValue(std::string(captureDir))) + "}}";
    auto config = parseConfig(text, errors, warnings);
    EXPECT_TRUE(config) << (errors.empty() ? "" : errors[0]);
    return config ? *config : Config{};
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

TEST(CollectorCapture, FileAndFoldersItCreatesAreOwnerOnly) {
    // Rows differ in how much of the capture path exists already. Catches a capture file
    // created with the default 0644 and capture folders created 0755 (readable by every
    // local user), while a folder that already existed keeps the permissions it had.
    struct Case {
        const char* name;
        const char* below;     // the capture folder, relative to the scratch folder
        const char* existing;  // a folder made beforehand (0755), or ""
    };
    const Case cases[] = {
        {"new folder", "capture", ""},
        {"new nested folders", "a/b/capture", ""},
        {"existing folder", "shared", "shared"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path scratch = fs::temp_directory_path() / ("parlow-capmode-" + randomHex(6));
        fs::create_directories(scratch);
        if (*c.existing) {
            fs::create_directories(scratch / c.existing);
            ::chmod((scratch / c.existing).c_str(), 0755);
        }
        const fs::path dir = scratch / c.below;
        testing::FakeHttpClient client([] { return std::int64_t{0}; });
        {
            Collector collector(captureConfig(dir.string()), &client, "token", {}, CollectorClocks::system());
            collector.recordCollectorStatus();
            ASSERT_FALSE(collector.capturePath().empty());
            EXPECT_EQ(modeOf(collector.capturePath()), 0600u);
            EXPECT_EQ(modeOf(dir.string()), *c.existing ? 0755u : 0700u);
            for (fs::path p = dir.parent_path(); p != scratch; p = p.parent_path())
                EXPECT_EQ(modeOf(p.string()), 0700u);
        }
        fs::remove_all(scratch);
    }
}

}  // namespace
}  // namespace vornet
