#include <unistd.h>

#include <vector>

#include "app/autostart.h"

namespace vornet::app {
namespace {

// The headless program has no autostart entry (it is started by its service manager).
class NoAutostart final : public Autostart {
public:
    std::optional<std::string> read() override { return std::nullopt; }
    bool write(const std::string&) override { return false; }
    bool remove() override { return false; }
};

}  // namespace

std::unique_ptr<Autostart> createSystemAutostart(const std::string&) { return std::make_unique<NoAutostart>(); }

std::string currentExecutablePath() {
    std::vector<char> buffer(260);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace vornet::app
