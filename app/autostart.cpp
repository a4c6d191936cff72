#include "app/autostart.h"

#include "core/text.h"

namespace vornet::app {

std::string autostartCommand(const std::string& executablePath) {
    return "\"" + executablePath + "\" --background";
}

std::string commandProgramPath(const std::string& command) {
    if (command.empty() || command[0] != '"') return command;
    std::size_t close = command.find('"', 1);
    if (close == std::string::npos) return command.substr(1);
    return command.substr(1, close - 1);
}

bool startWithWindowsEnabled(Autostart& store) { return store.read().has_value(); }

void setStartWithWindows(Autostart& store, bool enable, const std::string& command) {
    if (enable) {
        store.write(command);
    } else {
        store.remove();
    }
}

bool repairStartWithWindows(Autostart& store, const std::string& command,
                            const std::function<bool(const std::string&)>& pathExists) {
    std::optional<std::string> value = store.read();
    if (!value || asciiLower(*value) == asciiLower(command)) return false;
    std::string program = commandProgramPath(*value);
    bool exists = true;
    try {
        exists = pathExists(program);
    } catch (...) {
        // A path that cannot be queried may still be another copy: leave the entry alone.
        exists = true;
    }
    if (exists) return false;
    return store.write(command);
}

}  // namespace vornet::app
