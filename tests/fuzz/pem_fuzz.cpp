// Arbitrary text as a certificate file: every block found must decode to the bytes a
// re-encoding gives back, and prepending noise without markers must not change the result.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/text.h"

namespace {

// Standard base64 with line breaks every 64 characters, as PEM writers produce.
std::string pemOf(const std::vector<std::string>& ders) {
    std::string out;
    for (const std::string& der : ders) {
        std::string b64 = vornet::base64Encode(der);
        out += "-----BEGIN CERTIFICATE-----\n";
        for (std::size_t i = 0; i < b64.size(); i += 64) out += b64.substr(i, 64) + "\n";
        out += "-----END CERTIFICATE-----\n";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> found = vornet::pemCertificates(text);
    if (found.size() > size / 52 + 1) std::abort();  // each block needs both markers
    for (const std::string& der : found)
        if (der.empty() || der.size() > size) std::abort();
    // Decoding is the inverse of encoding for what was found.
    if (vornet::pemCertificates(pemOf(found)) != found) std::abort();
    if (vornet::pemCertificates("garbage without markers\n" + text) != found) std::abort();
    return 0;
}
