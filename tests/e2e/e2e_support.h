// The pieces of an end-to-end run beyond the shared test helpers: a scratch folder that stands
// in for the user's home (kept when PARLOW_E2E_KEEP is set), and plain HTTP exchanges with the
// simulators' control endpoints.
#pragma once

#include <optional>
#include <string>

#include "core/json.h"
#include "sim/common/loopback_client.h"
#include "tests/support/child_process_posix.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait.h"

namespace vornet::e2e {

using testing::ChildProcess;
using testing::readJsonFile;
using testing::TempFolder;
using testing::waitForJsonFile;
using testing::waitUntil;

// A scratch folder for one run; PARLOW_E2E_KEEP keeps it for reading the logs afterwards.
class ScratchDir : public TempFolder {
public:
    ScratchDir() : TempFolder("parlow-e2e", "PARLOW_E2E_KEEP") {}
};

// One plain HTTP exchange with a simulator on 127.0.0.1.
inline std::optional<JsonValue> httpJson(const std::string& method, int port, const std::string& target) {
    sim::FetchRequest request;
    request.method = method;
    request.port = static_cast<std::uint16_t>(port);
    request.target = target;
    request.timeoutMs = 3000;
    sim::FetchResult result = sim::fetch(request);
    if (result.status != 200) return std::nullopt;
    std::optional<JsonValue> value = parseJson(result.body);
    if (!value || !value->isObject()) return std::nullopt;
    return value;
}

}  // namespace vornet::e2e
