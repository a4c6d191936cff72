// Start-with-Windows: one per-user autostart entry holding the command that starts the
// program in the background. The platform store sits behind a small interface so the repair
// and connect logic can be tested with a scripted store.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vornet::app {

class Autostart {
public:
    Autostart() = default;
    Autostart(const Autostart&) = delete;
    Autostart& operator=(const Autostart&) = delete;
    virtual ~Autostart() = default;

    // The entry's command text (UTF-8), or nothing when it is absent or unreadable.
    virtual std::optional<std::string> read() = 0;
    // Creates or replaces the entry; false when the store refused.
    virtual bool write(const std::string& command) = 0;
    // Deletes the entry; false when the store refused.
    virtual bool remove() = 0;
};

inline constexpr const char* kAutostartEntryName = "Parlow";

// The string value `entryName` under the user's Run key on Windows. Elsewhere there is no
// autostart store: the object reports no entry and refuses writes.
std::unique_ptr<Autostart> createSystemAutostart(const std::string& entryName = kAutostartEntryName);
// The full path of the running executable (UTF-8); empty when it cannot be found.
std::string currentExecutablePath();

// The command that starts the program quietly: the quoted executable path and --background.
std::string autostartCommand(const std::string& executablePath);
// The program path named by a command: the text inside the leading quotes (to the end when
// the closing quote is missing), or the whole text when it does not start with a quote.
std::string commandProgramPath(const std::string& command);

bool startWithWindowsEnabled(Autostart& store);
// Writes or deletes the entry; errors are ignored (the caller re-reads the state).
void setStartWithWindows(Autostart& store, bool enable, const std::string& command);
// Points an entry at this copy when the program it names no longer exists. Never creates an
// entry and leaves one that names another existing copy alone. True when it rewrote it.
bool repairStartWithWindows(Autostart& store, const std::string& command,
                            const std::function<bool(const std::string&)>& pathExists);

}  // namespace vornet::app
