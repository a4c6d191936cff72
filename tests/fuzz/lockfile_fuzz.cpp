// Parses arbitrary bytes as a lockfile; whatever parses must satisfy the record's invariants,
// and the fingerprint must depend on the raw bytes only.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sources/lockfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto parsed = vornet::parseLockfile(text);
    if (!parsed) return 0;
    if (parsed->port < 1 || parsed->port > 65535) std::abort();
    if (parsed->password.empty()) std::abort();
    if (parsed->password.str().find(':') != std::string::npos) std::abort();
    if (parsed->fingerprint.empty() || parsed->fingerprint.find_first_not_of("0123456789") != std::string::npos) {
        std::abort();
    }
    if (parsed->fingerprint.size() > 1 && parsed->fingerprint[0] == '0') std::abort();
    auto again = vornet::parseLockfile(text);
    if (!again || again->fingerprint != parsed->fingerprint) std::abort();
    // Surrounding white space does not change the fields but does change the fingerprint.
    auto padded = vornet::parseLockfile(" " + text + "\r\n");
    if (!padded || padded->port != parsed->port || padded->password != parsed->password ||
        padded->pid != parsed->pid || padded->fingerprint == parsed->fingerprint) {
        std::abort();
    }
    return 0;
}
