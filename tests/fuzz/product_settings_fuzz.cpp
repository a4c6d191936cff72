// Parses arbitrary bytes as the vendor's product settings file; a value, when found, is
// non-empty, one line, trimmed, and comes from after the key.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sources/lockfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto value = vornet::parseProductInstallPath(text);
    const std::string key = "product_install_full_path:";
    std::size_t at = text.find(key);
    if (at == std::string::npos) {
        if (value) std::abort();
        return 0;
    }
    if (!value) return 0;
    if (value->empty() || value->find('\n') != std::string::npos) std::abort();
    if (text.find(*value, at + key.size()) == std::string::npos) std::abort();
    // Samples that look like paths also go through the candidate list's path equality.
    if (!vornet::samePath(*value, *value)) std::abort();
    return 0;
}
