// Fixed demonstration data: a busy, healthy collector, used by --demo and the UI self-test.
#pragma once

#include <cstdint>

#include "app/app_status.h"
#include "core/json.h"

namespace vornet::app {

// The collector status snapshot of the demonstration, relative to `nowUnixMs`.
JsonValue demoCollectorSnapshot(std::int64_t nowUnixMs);
StatsSnapshot demoStats();
// Replaces the collector, statistics and start time of `status` (its nowUnixMs is kept).
void applyDemoData(AppStatus& status);

}  // namespace vornet::app
