// Parses arbitrary bytes; whatever parses must write back to text that parses to the same
// text again, and redaction must leave valid JSON. The one-pass redacting writer must give the
// text of parse, redact and write, and refuse what the parser refuses with the same message.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "collector/observation.h"
#include "core/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto value = vornet::parseJson(text, &error);
    std::string copied;
    std::string copyError;
    const bool copiedOk = vornet::appendCompactJson(copied, text, vornet::isSensitiveKey, &copyError);
    if (copiedOk != value.has_value()) std::abort();
    if (!value) {
        if (error.find(" at offset ") == std::string::npos) std::abort();
        if (copyError != error) std::abort();
        return 0;
    }
    vornet::JsonValue redacted = *value;
    vornet::redactSecrets(redacted);
    if (vornet::writeJson(redacted) != copied) std::abort();
    std::string written = vornet::writeJson(*value);
    auto again = vornet::parseJson(written);
    if (!again || vornet::writeJson(*again) != written) std::abort();
    vornet::Observation observation;
    vornet::setPayloadFromBody(observation, text);
    if (!vornet::parseJson(observation.payload)) std::abort();
    std::string line;
    vornet::appendObservationJson(line, observation);
    if (!vornet::parseJson(line)) std::abort();
    return 0;
}
