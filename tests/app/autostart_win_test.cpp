#include <gtest/gtest.h>

#include "app/autostart.h"

namespace vornet::app {
namespace {

// The real Run key, under an entry name of its own so a developer's own entry stays untouched.
TEST(RegistryAutostartTest, WriteReadRemove) {
    std::unique_ptr<Autostart> store = createSystemAutostart("ParlowAppTest");
    store->remove();
    EXPECT_FALSE(store->read().has_value());
    const std::string command = "\"C:\\Program Files\\P\xC3\xA4rlow\\parlow.exe\" --background";
    ASSERT_TRUE(store->write(command));
    EXPECT_EQ(store->read().value_or(""), command);
    EXPECT_TRUE(startWithWindowsEnabled(*store));
    ASSERT_TRUE(store->remove());
    EXPECT_FALSE(store->read().has_value());
}

TEST(RegistryAutostartTest, ExecutablePath) {
    std::string path = currentExecutablePath();
    ASSERT_GE(path.size(), 4u);
    EXPECT_EQ(path.substr(path.size() - 4), ".exe");
}

}  // namespace
}  // namespace vornet::app
