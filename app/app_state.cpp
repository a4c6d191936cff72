#include "app/app_state.h"

#include <exception>
#include <vector>

#include "app/demo_data.h"
#include "core/files.h"
#include "core/text.h"

namespace vornet::app {
namespace {

Config defaultsFromEmptyObject() {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::optional<Config> config = parseConfig("{}", errors, warnings);
    return config ? *config : defaultConfig();
}

// Both separators count: a configuration path may be given either way on Windows.
std::size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

bool existsOrUnknown(const StartupEnvironment& env, const std::string& path) {
    if (!env.pathExists) return false;
    try {
        return env.pathExists(path);
    } catch (const std::exception&) {
        // The path is there but cannot be queried: let the loader report why.
        return true;
    }
}

}  // namespace

StatePaths statePaths(const std::string& configOption, const std::string& appFolder) {
    StatePaths paths;
    if (configOption.empty()) {
        paths.configPath = joinPath(appFolder, "collector.json");
        paths.appJsonPath = joinPath(appFolder, "app.json");
        paths.statsPath = joinPath(appFolder, "stats.json");
        return paths;
    }
    paths.configPath = configOption;
    std::size_t sep = lastSeparator(configOption);
    std::string folder = sep == std::string::npos ? std::string() : configOption.substr(0, sep + 1);
    std::string name = sep == std::string::npos ? configOption : configOption.substr(sep + 1);
    std::size_t dot = name.rfind('.');
    // ".json" alone has no stem to strip: like a file-system stem, a leading dot is kept.
    std::string stem = (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
    paths.appJsonPath = folder + stem + ".app.json";
    paths.statsPath = folder + stem + ".stats.json";
    return paths;
}

bool pausedFromText(std::string_view text) {
    std::optional<JsonValue> doc = parseJson(text);
    if (!doc || !doc->isObject()) return false;
    return doc->getBool("paused", false);
}

void loadAppState(AppState& state, const AppOptions& options, const StartupEnvironment& env) {
    state.version = kAppVersion;
    state.demo = options.demo;
    state.selftest = !options.uiSelftest.empty();
    state.configGiven = !options.configPath.empty();

    if (!state.demo && !state.selftest && !state.configGiven && env.autostart != nullptr) {
        // Without a way to look, every path counts as existing, so nothing is rewritten.
        std::function<bool(const std::string&)> exists = env.pathExists;
        if (!exists) exists = [](const std::string&) { return true; };
        repairStartWithWindows(*env.autostart, env.autostartCommand, exists);
    }
    state.startWithWindows = env.autostart != nullptr && startWithWindowsEnabled(*env.autostart);

    if (state.demo || state.selftest) {
        state.config = defaultsFromEmptyObject();
        state.enrolled = state.demo;
        return;
    }

    state.paths = statePaths(wideToUtf8(options.configPath), env.appFolder);
    if (std::optional<std::string> text = readWholeFile(state.paths.appJsonPath)) {
        state.paused->store(pausedFromText(*text));
    }

    state.stats = std::make_unique<DailyStats>(state.paths.statsPath, env.day, env.clockMs);

    const bool configExists = existsOrUnknown(env, state.paths.configPath);
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::optional<Config> config = configExists ? loadConfigFile(state.paths.configPath, errors, warnings)
                                                : parseConfig("{}", errors, warnings);
    if (!config) {
        std::string errorText = errors.empty() ? std::string("configuration error") : errors.front();
        // Keep the collector's identity when the file still names it, so a valid token
        // keeps this PC connected despite a broken setting.
        if (std::optional<std::string> raw = readWholeFile(state.paths.configPath)) {
            std::optional<JsonValue> doc = parseJson(*raw);
            const JsonValue* collector = doc && doc->isObject() ? doc->find("collector") : nullptr;
            const JsonValue* id = collector != nullptr && collector->isObject() ? collector->find("id") : nullptr;
            if (id != nullptr && id->isString() && !id->text.empty()) {
                JsonValue minimal = JsonValue::object();
                JsonValue minimalCollector = JsonValue::object();
                minimalCollector.set("id", id->text);
                minimal.set("collector", std::move(minimalCollector));
                std::vector<std::string> e2;
                std::vector<std::string> w2;
                config = parseConfig(writeJson(minimal), e2, w2);
            }
        }
        if (!config) {
            config = defaultsFromEmptyObject();
            state.connectError = kSettingsUnreadableText;
        }
        state.lastError = "collector.json: " + errorText;
    }
    state.config = *config;
    state.enrolled = configExists && env.tokenReadable && env.tokenReadable(state.config.id);
}

void savePaused(const AppState& state) {
    if (state.paths.appJsonPath.empty()) return;
    JsonValue doc = JsonValue::object();
    doc.set("paused", state.paused->load());
    writeFileAtomically(state.paths.appJsonPath, writeJson(doc));
}

AppStatus buildStatus(AppState& state, const StatusInputs& inputs) {
    return buildStatus(state, inputs, inputs.collectorSnapshot != nullptr ? *inputs.collectorSnapshot : JsonValue());
}

AppStatus buildStatus(AppState& state, const StatusInputs& inputs, JsonValue collectorSnapshot) {
    AppStatus status;
    status.enrolled = state.enrolled;
    status.paused = state.paused->load();
    status.startWithWindows = state.startWithWindows;
    status.windowKind = inputs.windowKind;
    status.nowUnixMs = inputs.nowUnixMs;
    status.startedUnixMs = inputs.collectorStartedUnixMs != 0 ? inputs.collectorStartedUnixMs : inputs.appStartedUnixMs;
    status.enrolling = state.enrolling;
    status.connectError = state.connectError;
    status.version = state.version;
    if (state.demo || state.selftest) {
        applyDemoData(status);
        return status;
    }
    if (!collectorSnapshot.isNull()) {
        status.collector = std::move(collectorSnapshot);
        if (status.collector.isObject() && !state.lastError.empty() &&
            status.collector.getString("lastError", "").empty()) {
            status.collector.set("lastError", state.lastError);
        }
    }
    if (state.stats) status.stats = state.stats->snapshot();
    return status;
}

}  // namespace vornet::app
