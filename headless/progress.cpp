#include "headless/progress.h"

namespace vornet::headless {

std::string progressLine(const app::AppStatus& status, const app::StatusView& view) {
    std::string phase = "-";
    std::uint64_t waiting = 0;
    std::uint64_t sent = 0;
    if (status.collector.isObject()) {
        phase = status.collector.getString("gameflowPhase", "-");
        if (phase.empty()) phase = "-";
        waiting = static_cast<std::uint64_t>(status.collector.getNumber("pendingObservations", 0));
        sent = static_cast<std::uint64_t>(status.collector.getNumber("sentBatches", 0));
    }
    return view.state + " | phase " + phase + " | waiting " + std::to_string(waiting) + " | sent " +
           std::to_string(sent) + " | events today " + std::to_string(status.stats.today.events);
}

}  // namespace vornet::headless
