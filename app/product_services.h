// The real enroll exchange and token storage behind the connect flow's function slots.
#pragma once

#include <functional>
#include <string>

#include "app/connect_flow.h"

namespace vornet::app {

// Creates an HTTP client with the product's User-Agent and runs the enroll exchange.
EnrollFunction productEnrollFunction();
WriteTokenFunction productWriteToken();
// True when a stored (or environment) token can be read for the collector id.
std::function<bool(const std::string&)> productTokenReadable();

}  // namespace vornet::app
