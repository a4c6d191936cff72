// Small helpers shared by the two simulators: files, command-line switches, process signals.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vornet::sim {

bool readFile(const std::string& path, std::string& out);
// Writes `path` + ".tmp" and renames it over `path`, so readers never see half a file.
bool writeFileAtomic(const std::string& path, std::string_view content);
// Appends one line and flushes it to the operating system before returning.
bool appendLine(const std::string& path, std::string_view line);
bool removeFile(const std::string& path);

// Switches of the form --name value, --name=value, or bare --name for flags.
class CommandLine {
public:
    // `valued`: switches that take a value; `flags`: switches that do not. Unknown switches or
    // a missing value give an error.
    bool parse(int argc, char** argv, const std::set<std::string>& valued, const std::set<std::string>& flags,
               std::string& error);
    bool has(const std::string& name) const { return values_.count(name) != 0; }
    std::string get(const std::string& name, const std::string& fallback = {}) const;
    std::vector<std::string> all(const std::string& name) const;
    // A whole number in [min, max]; false with `error` when the value is something else.
    bool getInt(const std::string& name, long long fallback, long long min, long long max, long long& out,
                std::string& error) const;
    bool getDouble(const std::string& name, double fallback, double min, double max, double& out,
                   std::string& error) const;

private:
    std::multimap<std::string, std::string> values_;
};

bool parseInt(std::string_view text, long long& out);
bool parseDouble(std::string_view text, double& out);

// SIGINT and SIGTERM set a flag instead of ending the process.
void installStopSignals();
bool stopRequested();
int currentProcessId();
void sleepMs(int ms);

}  // namespace vornet::sim
