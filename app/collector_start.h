// Starting the product's collector for the current configuration: the stored token, an HTTP
// client with the product's User-Agent, the game client's lockfile as the supplier, and the
// upload callback that feeds the statistics store. Shared by the Windows controller and the
// headless program; the caller keeps the returned run and stops it with its own time limits.
#pragma once

#include <memory>

#include "app/app_state.h"
#include "collector/collector.h"

namespace vornet::app {

// Null when no token can be read for the configured collector id (the enrolled flag is then
// cleared, so the next refresh shows the setup view) or the HTTP client cannot be created
// (the reason goes to the application's last error).
std::unique_ptr<CollectorRun> startProductCollector(AppState& state);

}  // namespace vornet::app
