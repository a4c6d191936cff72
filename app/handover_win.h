// A second instance's side of the single-instance hand-over.
#pragma once

#include <windows.h>

#include "app/app_options.h"

namespace vornet::app {

inline constexpr int kHandoverFailedExit = 2;
inline constexpr UINT kHandoverTimeoutMs = 5000;

// With a connect code: sends it to the first instance's tray window (WM_COPYDATA with the
// hand-over tag, 5 s at most); 0 when it was taken, 2 otherwise. Without one: asks the first
// instance to show its window unless --background; always 0.
int handOver(const AppOptions& options);

}  // namespace vornet::app
