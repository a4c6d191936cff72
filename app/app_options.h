// The command-line switches of the application.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/text.h"

namespace vornet::app {

struct AppOptions {
    bool background = false;
    bool nativeUi = false;
    bool demo = false;
    WideString uiSelftest;   // folder prefix; empty = off
    WideString configPath;   // empty = collector.json in the application folder
    std::string connectCode;  // UTF-8, as typed
    WideString statusFile;
    std::int32_t runSeconds = 0;
};

// Parses already split arguments; arguments[0] is the program and is skipped. Unknown
// switches and a value-taking switch without a value are ignored; a repeated switch keeps
// its last value.
AppOptions parseArguments(const std::vector<WideString>& arguments);

// Leading white space and a sign accepted, stops at the first non-digit, 0 without digits;
// saturates at the 32-bit limits.
std::int32_t parseRunSeconds(const WideString& text);

}  // namespace vornet::app
