// Parlow.exe --ui-selftest as a user's machine runs it: no web view runtime under wine, so the
// native window takes over; both captures are judged by their pixels, at the prefix's DPI
// (scripts/wine-dpi-run runs this again at 144) and with the high-contrast palette.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "app/demo_data.h"
#include "core/files.h"
#include "core/json.h"
#include "core/text.h"
#include "test_support.h"
#include "test_support_win.h"
#include "tests/ui/bmp_image.h"
#include "tests/ui/capture_checks.h"
#include "tests/ui/capture_palette_win.h"
#include "ui/native_window_win.h"

namespace vornet::app {
namespace {

using testing::TempFolder;

// Runs Parlow.exe with `arguments` and waits for its exit code.
std::optional<DWORD> runParlow(const std::wstring& arguments, DWORD limitMs) {
    std::wstring commandLine = L"\"" + testing::parlowExe() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return std::nullopt;
    }
    std::optional<DWORD> code;
    if (WaitForSingleObject(info.hProcess, limitMs) == WAIT_OBJECT_0) {
        DWORD value = 0;
        GetExitCodeProcess(info.hProcess, &value);
        code = value;
    } else {
        TerminateProcess(info.hProcess, 99);
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return code;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

int expectedDpi() {
    std::optional<std::string> asked = getEnv("PARLOW_TEST_EXPECT_DPI");
    return asked ? std::stoi(*asked) : 96;
}

// Both views captured and judged, with the normal and the high-contrast palette (wine 8 cannot
// switch high contrast on, so the window is told through its test switch; real Windows sets
// it through SPI_SETHIGHCONTRAST and the window reads that the same way).
TEST(ParlowSelftest, CapturesBothViewsAtThePrefixDpi) {
    for (bool highContrast : {false, true}) {
        SCOPED_TRACE(highContrast ? "high contrast" : "normal");
        TempFolder scratch;
        const std::string folder = scratch.file("selftest");
        SetEnvironmentVariableW(kHighContrastEnv, highContrast ? L"1" : nullptr);
        std::optional<DWORD> code = runParlow(L"--ui-selftest \"" + testing::windowsPath(folder) + L"\"", 60000);
        SetEnvironmentVariableW(kHighContrastEnv, nullptr);
        ASSERT_TRUE(code.has_value()) << "Parlow.exe did not end";
        EXPECT_EQ(*code, 0u);

        std::optional<std::string> text = readWholeFile(joinPath(folder, "selftest.json"));
        ASSERT_TRUE(text.has_value());
        std::optional<JsonValue> report = parseJson(*text);
        ASSERT_TRUE(report && report->isObject()) << *text;
        EXPECT_EQ(report->getString("window", ""), "native");
        // No WebView2 runtime under wine: the reason the native window was used.
        EXPECT_EQ(report->getString("webviewError", "").rfind("WebView2 runtime not available (0x", 0), 0u) << *text;
        EXPECT_TRUE(report->getBool("setupCaptured", false));
        EXPECT_TRUE(report->getBool("statusCaptured", false));
        const JsonValue* view = report->find("view");
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->getString("state", ""), "sending");

        const int dpi = expectedDpi();
        const testing::CapturePalette palette = testing::systemPalette(highContrast);

        std::string error;
        std::optional<testing::BmpImage> setup = testing::readBmp(joinPath(folder, "native-setup.bmp"), &error);
        ASSERT_TRUE(setup.has_value()) << error;
        std::vector<std::string> problems = testing::checkSetupCapture(*setup, dpi, palette);
        EXPECT_TRUE(problems.empty()) << joined(problems);

        std::optional<testing::BmpImage> status = testing::readBmp(joinPath(folder, "native-status.bmp"), &error);
        ASSERT_TRUE(status.has_value()) << error;
        testing::StatusExpectation expected;
        const StatsSnapshot stats = demoStats();
        expected.rates.assign(stats.rateHistory.begin(), stats.rateHistory.end());
        problems = testing::checkStatusCapture(*status, dpi, palette, expected);
        EXPECT_TRUE(problems.empty()) << joined(problems);
    }
}

}  // namespace
}  // namespace vornet::app
