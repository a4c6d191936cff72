#include "app/connect_flow.h"

#include <gtest/gtest.h>

#include <new>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "core/files.h"
#include "core/text.h"
#include "test_support.h"

namespace vornet::app {
namespace {

using testing::FakeAutostart;
using testing::TempFolder;

// A scripted enroll exchange: answers with `answer`, optionally holding until released.
struct ScriptedEnroll {
    std::mutex mutex;
    std::condition_variable cv;
    bool hold = false;
    int calls = 0;
    std::string lastCode;
    std::string lastExpectedId;
    EnrollResult answer;

    EnrollResult call(const std::string& code, const std::string& expectedId) {
        std::unique_lock<std::mutex> lock(mutex);
        ++calls;
        lastCode = code;
        lastExpectedId = expectedId;
        cv.wait(lock, [this] { return !hold; });
        return answer;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            hold = false;
        }
        cv.notify_all();
    }
};

struct Flow {
    TempFolder scratch;
    std::shared_ptr<ScriptedEnroll> enroll = std::make_shared<ScriptedEnroll>();
    FakeAutostart autostart;
    std::map<std::string, std::string> tokens;
    bool tokenWriteFails = false;
    // Shared with the detached worker, which may outlive this object.
    std::shared_ptr<std::atomic<int>> notified = std::make_shared<std::atomic<int>>(0);
    int stops = 0;
    int starts = 0;
    AppState state;

    Flow() {
        state.paths = statePaths("", scratch.utf8());
        state.config = defaultConfig();
    }

    ConnectServices services() {
        ConnectServices s;
        s.enroll = [e = enroll](const Config&, const std::string& code, const std::string& expectedId) {
            return e->call(code, expectedId);
        };
        s.writeToken = [this](const std::string& id, const std::string& token, std::string& error) {
            if (tokenWriteFails) {
                error = "CryptProtectData failed (5)";
                return false;
            }
            tokens[id] = token;
            return true;
        };
        s.autostart = &autostart;
        s.autostartCommand = "\"C:\\Parlow\\parlow.exe\" --background";
        s.notify = [n = notified] { ++*n; };
        return s;
    }
    CollectorControl collector() {
        return CollectorControl{[this] { ++stops; },
                                [this] {
                                    ++starts;
                                    EXPECT_EQ(stops, starts) << "the collector is stopped before it starts again";
                                }};
    }
    // Runs one attempt to the end, as the controller does on its notification.
    void connect(const std::string& code, bool startWithWindows) {
        ConnectServices s = services();
        ASSERT_EQ(startEnroll(state, code, startWithWindows, s), StartEnrollResult::Started);
        for (int i = 0; i < 3000 && !(state.enrollSlot && state.enrollSlot->done.load()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::optional<EnrollSlotResult> result = takeEnrollResult(state);
        ASSERT_TRUE(result);
        EXPECT_FALSE(state.enrollSlot);
        applyEnrollResult(state, *result, s, collector());
    }
    std::string configText() { return readWholeFile(state.paths.configPath).value_or("<none>"); }
};

EnrollResult enrolled(const char* id, const char* token) {
    return EnrollResult{EnrollOutcome::Enrolled, id, token, ""};
}

// Catches a wrong text per outcome, a detail not kept, or a failure that touches state.
TEST(ConnectFlowTest, FailureOutcomes) {
    struct Case {
        EnrollOutcome outcome;
        const char* message;
        const char* text;
    } cases[] = {
        {EnrollOutcome::CodeRejected, "HTTP 409 x", "That code didn't work. Ask for a new one."},
        {EnrollOutcome::Unreachable, "timed out",
         "Couldn't reach Parlow. Check your internet connection and try again."},
        {EnrollOutcome::RateLimited, "HTTP 429", "Too many tries. Wait a minute, then try again."},
        {EnrollOutcome::Failed, "HTTP 503", "Something went wrong. Please try again in a minute."},
        {static_cast<EnrollOutcome>(17), "odd", "Something went wrong. Please try again in a minute."},
    };
    for (const Case& c : cases) {
        Flow f;
        f.enroll->answer = EnrollResult{c.outcome, "", "", c.message};
        f.connect("  ABC-123 ", true);
        EXPECT_EQ(f.enroll->lastCode, "  ABC-123 ");
        EXPECT_FALSE(f.state.enrolling);
        EXPECT_FALSE(f.state.enrolled);
        EXPECT_EQ(f.state.connectError, c.text);
        EXPECT_EQ(f.state.lastError, c.message);
        EXPECT_TRUE(f.tokens.empty());
        EXPECT_EQ(f.starts, 0);
        EXPECT_EQ(f.autostart.writes, 0);
        EXPECT_EQ(f.configText(), "<none>");
        EXPECT_EQ(f.notified->load(), 1);
    }
}

// Catches lost settings on a valid file, a kept broken setting, and a non-object file.
TEST(ConnectFlowTest, ConfigurationRewrite) {
    struct Case {
        const char* name;
        const char* before;  // nullptr: no file
        const char* after;
    } cases[] = {
        {"no file", nullptr, R"({"collector":{"id":"c_new"}})"},
        {"valid file keeps its settings", R"({"server":{"batchIntervalMs":500},"collector":{"name":"den","id":"old"}})",
         R"({"server":{"batchIntervalMs":500},"collector":{"name":"den","id":"c_new"}})"},
        {"collector section is appended", R"({"buffer":{"maxObservations":50}})",
         R"({"buffer":{"maxObservations":50},"collector":{"id":"c_new"}})"},
        {"collector not an object", R"({"collector":7,"buffer":{"maxObservations":50}})",
         R"({"collector":{"id":"c_new"},"buffer":{"maxObservations":50}})"},
        {"broken setting leaves only the id", R"({"collector":{"id":"old"},"server":{"batchIntervalMs":"fast"}})",
         R"({"collector":{"id":"c_new"}})"},
        {"not JSON", "{{{", R"({"collector":{"id":"c_new"}})"},
    };
    for (const Case& c : cases) {
        Flow f;
        if (c.before != nullptr) {
            ASSERT_TRUE(writeFileAtomically(f.state.paths.configPath, c.before));
        }
        f.state.lastError = "collector.json: old problem";
        f.enroll->answer = enrolled("c_new", "tok");
        f.connect("code", false);
        EXPECT_EQ(f.configText(), c.after) << c.name;
        EXPECT_TRUE(f.state.enrolled) << c.name;
        EXPECT_EQ(f.state.config.id, "c_new") << c.name;
        EXPECT_EQ(f.state.connectError, "") << c.name;
        EXPECT_EQ(f.state.lastError, "") << c.name;
        EXPECT_EQ(f.tokens["c_new"], "tok") << c.name;
        EXPECT_EQ(f.stops, 1) << c.name;
        EXPECT_EQ(f.starts, 1) << c.name;
        EXPECT_EQ(f.enroll->lastExpectedId, "") << c.name;
    }
}

TEST(ConnectFlowTest, ConfigOptionChecksTheDevice) {
    Flow f;
    const std::string config = f.scratch.file("lab.json");
    ASSERT_TRUE(writeFileAtomically(config, R"({"collector":{"id":"lab-1"}})"));
    f.state.configGiven = true;
    f.state.paths = statePaths(config, "");
    f.state.config.id = "lab-1";

    f.enroll->answer = enrolled("lab-2", "tok");
    f.connect("code", true);
    EXPECT_EQ(f.enroll->lastExpectedId, "lab-1");
    EXPECT_EQ(f.state.connectError, "This code is for a different device. Ask for a new one.");
    EXPECT_TRUE(f.tokens.empty());
    EXPECT_FALSE(f.state.enrolled);
    EXPECT_EQ(f.starts, 0);
    EXPECT_EQ(f.autostart.writes, 0);

    f.enroll->answer = enrolled("lab-1", "tok2");
    f.connect("code", true);
    EXPECT_EQ(f.tokens["lab-1"], "tok2");
    EXPECT_TRUE(f.state.enrolled);
    EXPECT_EQ(f.state.connectError, "");
    EXPECT_EQ(readWholeFile(config).value_or(""), R"({"collector":{"id":"lab-1"}})");  // never rewritten
    EXPECT_EQ(f.starts, 1);
}

TEST(ConnectFlowTest, StorageFailures) {
    {
        Flow f;
        f.tokenWriteFails = true;
        f.enroll->answer = enrolled("c1", "tok");
        f.connect("code", true);
        EXPECT_EQ(f.state.connectError, "Couldn't save the connection on this PC. Ask for a new code and try again.");
        EXPECT_EQ(f.state.lastError, "CryptProtectData failed (5)");
        EXPECT_FALSE(f.state.enrolled);
        EXPECT_EQ(f.configText(), "<none>");
        EXPECT_EQ(f.starts, 0);
    }
    {
        Flow f;
        // The configuration's folder is a file: the rewrite cannot succeed.
        ASSERT_TRUE(writeFileAtomically(f.scratch.file("blocker"), "x"));
        f.state.paths.configPath = f.scratch.file("blocker") + "/collector.json";
        f.enroll->answer = enrolled("c1", "tok");
        f.connect("code", true);
        EXPECT_EQ(f.state.connectError, "Couldn't save the connection on this PC. Ask for a new code and try again.");
        EXPECT_EQ(f.state.lastError, "cannot write " + f.state.paths.configPath);
        EXPECT_FALSE(f.state.enrolled);
        EXPECT_EQ(f.starts, 0);
        EXPECT_EQ(f.autostart.writes, 0);
    }
}

// Catches a reconnect that changes start-with-Windows, or a first connect that ignores it.
TEST(ConnectFlowTest, StartWithWindowsOnlyOnFirstConnect) {
    const std::string command = "\"C:\\Parlow\\parlow.exe\" --background";
    struct Case {
        const char* name;
        bool enrolledBefore;
        std::optional<std::string> entry;
        bool requested;
        std::optional<std::string> after;
        bool shown;
    } cases[] = {
        {"first connect, ticked", false, std::nullopt, true, command, true},
        {"first connect, unticked, entry removed", false, command, false, std::nullopt, false},
        {"first connect, already there", false, "\"D:\\other.exe\" --background", true,
         "\"D:\\other.exe\" --background", true},
        {"reconnect never adds", true, std::nullopt, true, std::nullopt, false},
        {"reconnect never removes", true, command, false, command, true},
    };
    for (const Case& c : cases) {
        Flow f;
        f.state.enrolled = c.enrolledBefore;
        f.state.startWithWindows = !c.shown;  // must be re-read from the store
        f.autostart.value = c.entry;
        f.enroll->answer = enrolled("c1", "tok");
        f.connect("code", c.requested);
        EXPECT_EQ(f.autostart.value, c.after) << c.name;
        EXPECT_EQ(f.state.startWithWindows, c.shown) << c.name;
    }
}

TEST(ConnectFlowTest, SecondCodeWhileRunningIsIgnored) {
    Flow f;
    f.enroll->hold = true;
    f.enroll->answer = enrolled("c1", "tok");
    ConnectServices s = f.services();
    EXPECT_EQ(startEnroll(f.state, "first", true, s), StartEnrollResult::Started);
    EXPECT_TRUE(f.state.enrolling);
    EXPECT_EQ(startEnroll(f.state, "second", true, s), StartEnrollResult::Ignored);
    EXPECT_FALSE(takeEnrollResult(f.state));  // still running
    f.enroll->release();
    for (int i = 0; i < 3000 && !f.state.enrollSlot->done.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::optional<EnrollSlotResult> result = takeEnrollResult(f.state);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->startWithWindows);
    EXPECT_EQ(f.enroll->calls, 1);
    EXPECT_EQ(f.enroll->lastCode, "first");
}

TEST(ConnectFlowTest, DemoAndSelftestRefuseWithoutTraffic) {
    for (bool demo : {true, false}) {
        Flow f;
        f.state.demo = demo;
        f.state.selftest = !demo;
        EXPECT_EQ(startEnroll(f.state, "code", true, f.services()), StartEnrollResult::Refused);
        EXPECT_EQ(f.state.connectError, "That code didn't work. Ask for a new one.");
        EXPECT_FALSE(f.state.enrolling);
        EXPECT_FALSE(f.state.enrollSlot);
        EXPECT_EQ(f.enroll->calls, 0);
    }
}

TEST(ConnectFlowTest, WorkerStoresTheResultBeforeNotifying) {
    auto slot = std::make_shared<EnrollSlot>();
    bool sawResult = false;
    runEnrollWorker(
        defaultConfig(), "code", true, "id", slot,
        [](const Config&, const std::string&, const std::string&) { return enrolled("c1", "t"); },
        [&] {
            std::lock_guard<std::mutex> lock(slot->lock);
            sawResult = slot->done.load() && slot->result.has_value();
        });
    EXPECT_TRUE(sawResult);
}

TEST(ConnectFlowTest, WorkerFillsTheSlotWhenTheExchangeRunsOutOfMemory) {
    // Catches a worker whose allocation failure escapes the thread body (ending the program)
    // or leaves the slot empty, so the controller would wait for a result that never comes.
    auto slot = std::make_shared<EnrollSlot>();
    bool notified = false;
    runEnrollWorker(
        defaultConfig(), "code", true, "id", slot,
        [](const Config&, const std::string&, const std::string&) -> EnrollResult { throw std::bad_alloc(); },
        [&] { notified = true; });
    EXPECT_TRUE(notified);
    ASSERT_TRUE(slot->done.load());
    ASSERT_TRUE(slot->result.has_value());
    EXPECT_NE(slot->result->result.outcome, EnrollOutcome::Enrolled);
    EXPECT_EQ(slot->result->result.message, "out of memory");
}

TEST(ConnectFlowTest, WaitForEnrollAtShutdown) {
    {
        // The worker is still running: the process must end hard.
        Flow f;
        f.enroll->hold = true;
        f.enroll->answer = enrolled("c1", "tok");
        ConnectServices s = f.services();
        ASSERT_EQ(startEnroll(f.state, "code", false, s), StartEnrollResult::Started);
        std::int64_t started = steadyNowMs();
        waitForEnroll(f.state, 100, s);
        std::int64_t waited = steadyNowMs() - started;
        EXPECT_GE(waited, 100);
        EXPECT_LT(waited, 2000);
        EXPECT_TRUE(f.state.terminateAtExit);
        EXPECT_FALSE(f.state.enrolling);
        f.enroll->release();  // let the detached worker finish; it only touches its slot
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    {
        // A success that arrives during shutdown is stored but nothing restarts.
        Flow f;
        f.enroll->answer = enrolled("c9", "tok9");
        ConnectServices s = f.services();
        ASSERT_EQ(startEnroll(f.state, "code", false, s), StartEnrollResult::Started);
        waitForEnroll(f.state, 3000, s);
        EXPECT_FALSE(f.state.terminateAtExit);
        EXPECT_EQ(f.tokens["c9"], "tok9");
        EXPECT_EQ(f.configText(), R"({"collector":{"id":"c9"}})");
        EXPECT_EQ(f.starts, 0);
        EXPECT_EQ(f.stops, 0);
    }
    {
        // Nothing running: nothing to do.
        Flow f;
        waitForEnroll(f.state, 3000, f.services());
        EXPECT_FALSE(f.state.terminateAtExit);
    }
}

}  // namespace
}  // namespace vornet::app
