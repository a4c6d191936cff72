// Acknowledgements come from the network: any byte string must parse or be refused cleanly,
// and whatever parses must keep its invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "collector/envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const std::optional<vornet::Acknowledgement> ack = vornet::parseAcknowledgement(body);
    if (ack && ack->totals && ack->totals->runId.empty()) {
        std::abort();  // totals are only taken with a run id
    }
    return 0;
}
