// The enroll answer comes from the network: every status and body must give a result, and a
// success must carry both a collector id and a token.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "collector/enroll.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    vornet::HttpResponse response;
    // The first two bytes choose the status, from "no answer" through 599.
    response.status = static_cast<std::int32_t>((data[0] | (data[1] << 8)) % 600);
    response.body.assign(reinterpret_cast<const char*>(data + 2), size - 2);
    if (response.status == 0) response.error = "timed out";
    const vornet::EnrollResult result = vornet::interpretEnrollResponse(response);
    if (result.outcome == vornet::EnrollOutcome::Enrolled &&
        (response.status != 201 || result.collectorId.empty() || result.token.empty() || !result.message.empty())) {
        std::abort();
    }
    if (result.outcome != vornet::EnrollOutcome::Enrolled && result.message.empty() && response.status != 0) {
        std::abort();
    }
    return 0;
}
