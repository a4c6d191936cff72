#include "app/connect_flow.h"

#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "core/files.h"
#include "core/json.h"
#include "core/secret_string.h"
#include "core/text.h"

namespace vornet::app {
namespace {

bool differentDevice(const AppState& state, const EnrollSlotResult& result) {
    return state.configGiven && result.result.collectorId != state.config.id;
}

std::optional<Config> validate(const std::string& text) {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    return parseConfig(text, errors, warnings);
}

}  // namespace

std::string enrollErrorText(EnrollOutcome outcome) {
    switch (outcome) {
        case EnrollOutcome::CodeRejected:
            return kCodeRejectedText;
        case EnrollOutcome::Unreachable:
            return kUnreachableText;
        case EnrollOutcome::RateLimited:
            return kRateLimitedText;
        default:
            return kEnrollFailedText;
    }
}

StartEnrollResult startEnroll(AppState& state, const std::string& code, bool startWithWindows,
                              const ConnectServices& services) {
    if (state.enrolling) return StartEnrollResult::Ignored;
    if (state.demo || state.selftest) {
        state.connectError = kCodeRejectedText;
        return StartEnrollResult::Refused;
    }
    state.enrolling = true;
    state.connectError.clear();
    auto slot = std::make_shared<EnrollSlot>();
    state.enrollSlot = slot;
    std::string expected = state.configGiven ? state.config.id : std::string();
    // The worker owns copies of everything it uses; it reaches the controller only through
    // the slot and the notification.
    std::thread worker([config = state.config, code = SecretString(code), startWithWindows,
                        expected = std::move(expected), slot, enroll = services.enroll, notify = services.notify]() {
        runEnrollWorker(config, code.str(), startWithWindows, expected, slot, enroll, notify);
    });
    worker.detach();
    return StartEnrollResult::Started;
}

void runEnrollWorker(const Config& config, const std::string& code, bool startWithWindows,
                     const std::string& expectedCollectorId, const std::shared_ptr<EnrollSlot>& slot,
                     const EnrollFunction& enroll, const std::function<void()>& notify) {
    EnrollSlotResult outcome;
    outcome.startWithWindows = startWithWindows;
    if (enroll) {
        // The slot must be filled whatever happens, or the controller waits for ever.
        try {
            outcome.result = enroll(config, code, expectedCollectorId);
        } catch (const std::bad_alloc&) {
            outcome.result = EnrollResult{};
            outcome.result.message = "out of memory";
        }
    } else {
        outcome.result.message = "enrollment is not available";
    }
    {
        std::lock_guard<std::mutex> lock(slot->lock);
        slot->result = std::move(outcome);
    }
    slot->done.store(true);
    if (notify) notify();
}

std::optional<EnrollSlotResult> takeEnrollResult(AppState& state) {
    if (!state.enrollSlot || !state.enrollSlot->done.load()) return std::nullopt;
    std::optional<EnrollSlotResult> result;
    {
        std::lock_guard<std::mutex> lock(state.enrollSlot->lock);
        result = std::move(state.enrollSlot->result);
        state.enrollSlot->result.reset();
    }
    state.enrollSlot.reset();
    return result;
}

void applyEnrollResult(AppState& state, const EnrollSlotResult& result, const ConnectServices& services,
                       const CollectorControl& collector) {
    state.enrolling = false;
    if (result.result.outcome != EnrollOutcome::Enrolled) {
        state.connectError = enrollErrorText(result.result.outcome);
        state.lastError = result.result.message;
        return;
    }
    if (differentDevice(state, result)) {
        state.connectError = kDifferentDeviceText;
        return;
    }
    std::optional<Config> config = persistEnrollment(state, result, services);
    if (!config) return;
    if (collector.stop) collector.stop();
    state.config = *config;
    state.enrolled = true;
    state.connectError.clear();
    if (collector.start) collector.start();
}

std::optional<Config> persistEnrollment(AppState& state, const EnrollSlotResult& result,
                                        const ConnectServices& services) {
    const bool wasEnrolled = state.enrolled;
    const std::string& id = result.result.collectorId;

    std::string tokenError;
    if (!services.writeToken || !services.writeToken(id, result.result.token, tokenError)) {
        state.connectError = kCannotSaveText;
        state.lastError = tokenError;
        return std::nullopt;
    }

    std::optional<Config> config;
    if (state.configGiven) {
        config = state.config;
    } else {
        JsonValue doc = JsonValue::object();
        if (std::optional<std::string> raw = readWholeFile(state.paths.configPath)) {
            std::optional<JsonValue> parsed = parseJson(*raw);
            if (parsed && parsed->isObject()) doc = std::move(*parsed);
        }
        JsonValue collectorSection = JsonValue::object();
        if (const JsonValue* existing = doc.find("collector"); existing != nullptr && existing->isObject()) {
            collectorSection = *existing;
        }
        collectorSection.set("id", id);
        doc.set("collector", std::move(collectorSection));
        std::string text = writeJson(doc);
        config = validate(text);
        if (!config) {
            // Other settings are broken: keep only the identity rather than fail the connect.
            JsonValue minimal = JsonValue::object();
            JsonValue minimalCollector = JsonValue::object();
            minimalCollector.set("id", id);
            minimal.set("collector", std::move(minimalCollector));
            text = writeJson(minimal);
            config = validate(text);
        }
        if (!config || !writeFileAtomically(state.paths.configPath, text)) {
            state.connectError = kCannotSaveText;
            state.lastError = "cannot write " + state.paths.configPath;
            return std::nullopt;
        }
    }

    state.lastError.clear();
    if (services.autostart != nullptr) {
        if (!wasEnrolled && result.startWithWindows != startWithWindowsEnabled(*services.autostart)) {
            setStartWithWindows(*services.autostart, result.startWithWindows, services.autostartCommand);
        }
        state.startWithWindows = startWithWindowsEnabled(*services.autostart);
    }
    return config;
}

void waitForEnroll(AppState& state, std::int64_t ms, const ConnectServices& services) {
    if (state.enrolling && state.enrollSlot) {
        const std::int64_t deadline = steadyNowMs() + ms;
        while (!state.enrollSlot->done.load() && steadyNowMs() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    const bool hadSlot = state.enrollSlot != nullptr;
    std::optional<EnrollSlotResult> result = takeEnrollResult(state);
    state.enrolling = false;
    if (!result) {
        // The detached worker still holds the slot and may post to a window that is gone.
        if (hadSlot) state.terminateAtExit = true;
        return;
    }
    if (result->result.outcome == EnrollOutcome::Enrolled && !differentDevice(state, *result)) {
        persistEnrollment(state, *result, services);
    }
}

}  // namespace vornet::app
