// The Windows tray program's window procedure driven by real window messages, and Parlow.exe
// as a process: single instance, hand-over, exit codes. Needs a display (Xvfb under wine).
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_win.h"
#include "app/controller.h"
#include "app/handover_win.h"
#include "core/files.h"
#include "core/text.h"
#include "test_support.h"
#include "test_support_win.h"

namespace vornet::app {
namespace {

using testing::FakeAutostart;
using testing::RecordingWindow;
using testing::TempFolder;
using testing::WindowLog;

// Runs window messages until `ready` holds or `limit` passes.
bool pumpUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<long long>(left.count(), 50)),
                                  QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

// True when a WM_QUIT waits in this thread's queue (it is taken out).
bool quitPosted() {
    MSG message;
    return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

// An App with scripted services: enrollment answers at once, tokens and files stay in a
// scratch folder, no collector runs.
struct TrayHarness {
    TempFolder scratch;
    FakeAutostart autostart;
    std::shared_ptr<WindowLog> window = std::make_shared<WindowLog>();
    struct Shared {
        std::mutex lock;
        std::vector<std::string> codes;
    };
    std::shared_ptr<Shared> enrolls = std::make_shared<Shared>();
    int collectorStarts = 0;
    std::unique_ptr<App> app;

    explicit TrayHarness(AppOptions options, HANDLE mutex = nullptr) {
        ControllerEnvironment env;
        env.startup.appFolder = scratch.utf8();
        env.startup.autostart = &autostart;
        env.startup.autostartCommand = "\"C:\\Parlow\\Parlow.exe\" --background";
        env.startup.pathExists = [](const std::string& path) { return fileExists(path); };
        env.startup.tokenReadable = [](const std::string&) { return false; };
        env.startup.day = [] { return std::string("2026-12-10"); };
        env.startup.clockMs = [] { return steadyNowMs(); };
        env.connect.enroll = [shared = enrolls](const Config&, const std::string& code, const std::string&) {
            {
                std::lock_guard<std::mutex> guard(shared->lock);
                shared->codes.push_back(code);
            }
            EnrollResult result;
            result.outcome = EnrollOutcome::Enrolled;
            result.collectorId = "c_test";
            result.token = "secret-token";
            return result;
        };
        env.connect.writeToken = [](const std::string&, const std::string&, std::string&) { return true; };
        env.connect.autostart = &autostart;
        env.connect.autostartCommand = env.startup.autostartCommand;
        env.startCollector = [this](AppState&) {
            ++collectorStarts;
            return std::unique_ptr<CollectorRun>();
        };
        env.nowUnixMs = [] { return nowUnixMs(); };
        env.writeFile = [](const std::string& path, const std::string& text) {
            return writeFileAtomically(path, text);
        };
        options.nativeUi = true;
        app = std::make_unique<App>(
            GetModuleHandleW(nullptr), options, mutex, std::move(env),
            [log = window](HINSTANCE, UiEventHandler) { return std::make_unique<RecordingWindow>("native", log); },
            App::WebViewStarter{});
    }
    ~TrayHarness() {
        if (app) app->controller().shutdown(false);
        quitPosted();
    }
    std::vector<std::string> codes() {
        std::lock_guard<std::mutex> guard(enrolls->lock);
        return enrolls->codes;
    }
};

AppOptions demoInBackground() {
    AppOptions options;
    options.demo = true;
    options.background = true;
    return options;
}

LRESULT sendCode(HWND target, std::uint64_t tag, const void* data, DWORD length) {
    COPYDATASTRUCT copy{};
    copy.dwData = static_cast<ULONG_PTR>(tag);
    copy.cbData = length;
    copy.lpData = const_cast<void*>(data);
    return SendMessageW(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
}

// WM_COPYDATA: what is accepted, and what an accepted code does with and without demo mode.
TEST(TrayWindowTest, CopyDataAcceptedAndRefused) {
    const std::string code65(65, 'A');
    struct Case {
        const char* name;
        bool demo;
        std::uint64_t tag;
        const void* data;
        DWORD length;
        LRESULT answer;
        bool enrolls;
    };
    const Case cases[] = {
        {"a code enrolls", false, kHandoverTag, "INVITE-1", 8, 1, true},
        {"in demo accepted, no enrollment", true, kHandoverTag, "INVITE-1", 8, 1, false},
        {"65 bytes", false, kHandoverTag, code65.data(), 65, 0, false},
        {"wrong tag", false, 0x12345678, "INVITE-1", 8, 0, false},
        {"no data", false, kHandoverTag, nullptr, 8, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppOptions options;
        options.demo = c.demo;
        options.background = true;
        TrayHarness h(options);
        ASSERT_TRUE(h.app->create());
        const int shownBefore = h.window->shows;
        EXPECT_EQ(sendCode(h.app->trayWindow(), c.tag, c.data, c.length), c.answer);
        EXPECT_EQ(h.window->shows > shownBefore, c.answer == 1);
        if (c.enrolls) {
            // The worker posts 0x8003; the result is applied on this thread.
            ASSERT_TRUE(pumpUntil([&] { return h.app->controller().state().enrolled; }));
            EXPECT_EQ(h.codes(), std::vector<std::string>{"INVITE-1"});
            EXPECT_EQ(h.app->controller().state().config.id, "c_test");
            EXPECT_EQ(h.collectorStarts, 1);
        } else {
            pumpUntil([] { return false; }, std::chrono::milliseconds(100));
            EXPECT_TRUE(h.codes().empty());
        }
    }
}

// 0x8002 from a second instance, and the tray icon's select, open the status window.
TEST(TrayWindowTest, ShowRequestsOpenTheWindow) {
    TrayHarness h(demoInBackground());
    ASSERT_TRUE(h.app->create());
    EXPECT_EQ(h.window->shows, 0);
    SendMessageW(h.app->trayWindow(), kShowWindowMessage, 0, 0);
    EXPECT_EQ(h.window->shows, 1);
    SendMessageW(h.app->trayWindow(), kTrayCallbackMessage, 0, MAKELPARAM(WM_USER + 0, 1));  // select
    EXPECT_EQ(h.window->shows, 2);
    SendMessageW(h.app->trayWindow(), kTrayCallbackMessage, 0, MAKELPARAM(WM_MOUSEMOVE, 1));  // ignored
    EXPECT_EQ(h.window->shows, 2);
}

bool trayIconPresent(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = 1;
    data.uFlags = NIF_TIP;
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

// When the shell restarts its icons are gone; "TaskbarCreated" brings ours back.
TEST(TrayWindowTest, TaskbarCreatedAddsTheIconAgain) {
    TrayHarness h(demoInBackground());
    ASSERT_TRUE(h.app->create());
    ASSERT_TRUE(h.app->controller().trayAdded());
    ASSERT_TRUE(trayIconPresent(h.app->trayWindow()));
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = h.app->trayWindow();
    data.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
    ASSERT_FALSE(trayIconPresent(h.app->trayWindow()));
    SendMessageW(h.app->trayWindow(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(trayIconPresent(h.app->trayWindow()));
}

// One-shot timers run through real WM_TIMER messages, once.
TEST(TrayWindowTest, OneShotTimersRunOnce) {
    TrayHarness h(demoInBackground());
    ASSERT_TRUE(h.app->create());
    int runs = 0;
    h.app->controller().runLater(30, [&] { ++runs; });
    ASSERT_TRUE(pumpUntil([&] { return runs > 0; }));
    pumpUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(runs, 1);
}

// Menu commands take the path of a click: the menu as built, then the chosen command.
TEST(TrayWindowTest, MenuCommands) {
    TrayHarness h(demoInBackground());
    ASSERT_TRUE(h.app->create());
    win::Menu menu = h.app->buildMenu();
    ASSERT_TRUE(menu);
    std::vector<std::wstring> texts;
    for (int i = 0; i < GetMenuItemCount(menu.get()); ++i) {
        wchar_t text[128] = {};
        GetMenuStringW(menu.get(), static_cast<UINT>(i), text, 128, MF_BYPOSITION);
        texts.emplace_back(text);
    }
    const std::vector<std::wstring> expected = {
        L"Sending your games",       L"", L"Open Parlow", L"Pause", L"Start with Windows", L"",
        L"Copy details for support", L"", L"Quit"};
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(GetMenuDefaultItem(menu.get(), FALSE, 0), 1u);
    EXPECT_TRUE(GetMenuState(menu.get(), 0, MF_BYPOSITION) & MF_GRAYED);

    h.app->runMenuCommand(static_cast<int>(TrayCommand::PauseResume));
    EXPECT_EQ(h.app->controller().view().state, "paused");
    h.app->runMenuCommand(static_cast<int>(TrayCommand::StartWithWindows));
    EXPECT_TRUE(h.autostart.value.has_value());
    win::Menu after = h.app->buildMenu();
    EXPECT_TRUE(GetMenuState(after.get(), 3, MF_BYCOMMAND) & MF_CHECKED);

    h.app->runMenuCommand(static_cast<int>(TrayCommand::CopyDetails));
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    ASSERT_NE(data, nullptr);
    std::wstring clip(static_cast<const wchar_t*>(GlobalLock(data)));
    GlobalUnlock(data);
    CloseClipboard();
    EXPECT_NE(clip.find(L"Parlow collector details"), std::wstring::npos);

    EXPECT_FALSE(quitPosted());
    h.app->runMenuCommand(0);  // the menu dismissed without a choice
    EXPECT_FALSE(quitPosted());
    h.app->runMenuCommand(static_cast<int>(TrayCommand::Quit));
    EXPECT_TRUE(quitPosted());
}

// WM_CLOSE quits in order like the menu's Quit and leaves the window to the shutdown;
// the end of the Windows session shuts down at once.
TEST(TrayWindowTest, CloseAndSessionEnd) {
    {
        TrayHarness h(demoInBackground());
        ASSERT_TRUE(h.app->create());
        EXPECT_EQ(SendMessageW(h.app->trayWindow(), WM_CLOSE, 0, 0), 0);
        EXPECT_TRUE(IsWindow(h.app->trayWindow()));
        EXPECT_TRUE(quitPosted());
    }
    {
        TrayHarness h(demoInBackground());
        ASSERT_TRUE(h.app->create());
        HWND tray = h.app->trayWindow();
        EXPECT_EQ(SendMessageW(tray, WM_QUERYENDSESSION, 0, 0), 1);
        EXPECT_TRUE(IsWindow(tray));
        SendMessageW(tray, WM_ENDSESSION, FALSE, 0);  // the session goes on
        EXPECT_TRUE(IsWindow(tray));
        SendMessageW(tray, WM_ENDSESSION, TRUE, 0);
        EXPECT_FALSE(IsWindow(tray));
        EXPECT_FALSE(trayIconPresent(tray));
        EXPECT_TRUE(quitPosted());
    }
}

// ---- Parlow.exe as a process ----

struct Child {
    PROCESS_INFORMATION info{};
    bool started = false;
    ~Child() {
        if (!started) return;
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info.hProcess, 99);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
};

bool startParlow(Child& child, const std::wstring& arguments, const std::wstring& folder) {
    std::wstring commandLine = L"\"" + testing::parlowExe() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    child.started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   folder.empty() ? nullptr : folder.c_str(), &startup, &child.info) != FALSE;
    return child.started;
}

// Waits for the child's exit while this thread keeps serving its window messages.
std::optional<DWORD> waitExit(Child& child, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        DWORD woke =
            MsgWaitForMultipleObjects(1, &child.info.hProcess, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(child.info.hProcess, &code);
    return code;
}

// Holds the single-instance mutex as a first instance does.
struct InstanceMutex {
    HANDLE handle = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
    bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    ~InstanceMutex() {
        if (handle != nullptr) {
            ReleaseMutex(handle);
            CloseHandle(handle);
        }
    }
};

// A second Parlow.exe hands its request to this process, which plays the first instance.
TEST(ParlowProcessTest, SecondInstanceHandsOver) {
    struct Case {
        const char* name;
        const wchar_t* arguments;
        DWORD exitCode;
        int shows;
        std::vector<std::string> codes;
    };
    const Case cases[] = {
        {"no switches: show the window", L"", 0, 1, {}},
        {"background: nothing", L"--background", 0, 0, {}},
        {"connect: the first instance enrolls", L"--connect INVITE-42", 0, 1, {"INVITE-42"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppOptions options;
        options.background = true;
        TrayHarness h(options);
        ASSERT_TRUE(h.app->create());
        // Not enrolled: the setup view opened at start.
        const int shownAtStart = h.window->shows;
        InstanceMutex mutex;
        ASSERT_NE(mutex.handle, nullptr);
        ASSERT_FALSE(mutex.existed);
        Child child;
        ASSERT_TRUE(startParlow(child, c.arguments, L""));
        std::optional<DWORD> code = waitExit(child, std::chrono::seconds(20));
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, c.exitCode);
        // The posted show request may arrive just after the child ended.
        pumpUntil([&] { return h.window->shows - shownAtStart >= c.shows; },
                  std::chrono::milliseconds(c.shows > 0 ? 3000 : 300));
        EXPECT_EQ(h.window->shows - shownAtStart, c.shows);
        if (!c.codes.empty()) pumpUntil([&] { return !h.codes().empty(); });
        EXPECT_EQ(h.codes(), c.codes);
    }
}

// A first instance that holds the mutex but never answers: the code cannot be handed over.
TEST(ParlowProcessTest, HungFirstInstanceGivesExitCodeTwo) {
    InstanceMutex mutex;
    ASSERT_FALSE(mutex.existed);
    std::atomic<bool> ready{false};
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread hung([&] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"ParlowTray";
        RegisterClassExW(&windowClass);
        HWND window = CreateWindowExW(0, L"ParlowTray", L"Parlow", 0, 0, 0, 0, 0, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
        ready = window != nullptr;
        // Never reads its messages until released.
        WaitForSingleObject(release, 60000);
        if (window != nullptr) DestroyWindow(window);
    });
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Child child;
    ASSERT_TRUE(startParlow(child, L"--connect INVITE-9", L""));
    const auto started = std::chrono::steady_clock::now();
    std::optional<DWORD> code = waitExit(child, std::chrono::seconds(20));
    const auto took = std::chrono::steady_clock::now() - started;
    SetEvent(release);
    hung.join();
    CloseHandle(release);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 2u);
    // 5 s for the hand-over, plus a process start under wine on a busy machine; a second
    // instance that waited for an answer without a limit would take the full 20 s.
    EXPECT_LT(took, std::chrono::seconds(12));
}

// With nobody to hand a code to, a second instance fails with 2; without a code it ends with 0.
TEST(ParlowProcessTest, NoFirstInstanceWindow) {
    InstanceMutex mutex;
    ASSERT_FALSE(mutex.existed);
    for (const auto& [arguments, expected] : {std::pair<const wchar_t*, DWORD>{L"--connect X", 2}, {L"", 0}}) {
        Child child;
        ASSERT_TRUE(startParlow(child, arguments, L""));
        std::optional<DWORD> code = waitExit(child, std::chrono::seconds(20));
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, expected);
    }
}

// --run-seconds ends the program by itself, in order, with 0.
TEST(ParlowProcessTest, RunSecondsEndsWithZero) {
    TempFolder scratch;
    const std::wstring folder(reinterpret_cast<const wchar_t*>(utf8ToWide(scratch.utf8()).c_str()));
    Child child;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(startParlow(child, L"--demo --background --run-seconds 3", folder));
    std::optional<DWORD> code = waitExit(child, std::chrono::seconds(30));
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::seconds(15));
    // Nothing lands in the working folder.
    EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(utf8ToPath(scratch.utf8()))));
}

}  // namespace
}  // namespace vornet::app
