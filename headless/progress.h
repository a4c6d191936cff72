// The one-line progress display of the headless program on a terminal.
#pragma once

#include <string>

#include "app/app_status.h"
#include "ui/view_model.h"

namespace vornet::headless {

// "<state> | phase <phase> | waiting <n> | sent <batches> | events today <n>": the view's state,
// the game client's phase ("-" when unknown), the observations waiting in the buffer, the
// batches sent and the events the aggregator accepted today.
std::string progressLine(const app::AppStatus& status, const app::StatusView& view);

}  // namespace vornet::headless
