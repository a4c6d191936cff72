// Parlow.exe: the entry of the Windows tray program. One instance per session; a second one
// hands its invite code or a request to show the window to the first and ends.
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/app_options.h"
#include "app/app_win.h"
#include "app/handover_win.h"
#include "core/text.h"
#include "core/win_handles_win.h"

namespace {

using namespace vornet;

std::vector<WideString> commandLineArguments() {
    std::vector<WideString> arguments;
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (split == nullptr) return arguments;
    win::LocalMemory owner(reinterpret_cast<HLOCAL>(split));
    for (int i = 0; i < count; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(split[i]));
    return arguments;
}

void preferPerMonitorDpi() {
    using SetContext = BOOL(WINAPI*)(HANDLE);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return;
    auto set = reinterpret_cast<SetContext>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
    // Per-monitor aware, version 2. Not fatal when refused: the manifest already asks for it.
    if (set != nullptr) set(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    app::AppOptions options = app::parseArguments(commandLineArguments());

    HANDLE mutex = nullptr;
    if (options.uiSelftest.empty()) {
        mutex = CreateMutexW(nullptr, TRUE, app::kInstanceMutexName);
        if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
            // The handle stays open until the process ends; the first instance owns the mutex.
            return app::handOver(options);
        }
    }

    preferPerMonitorDpi();
    const bool comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    int code = 0;
    bool terminate = false;
    {
        auto application = std::make_unique<app::App>(instance, options, mutex);
        code = application->run();
        terminate = application->terminateAtExit();
        if (terminate) {
            // A worker thread still uses the collector or the enroll slot: end now rather than
            // destroy anything under it.
            TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
        }
    }
    if (comReady) CoUninitialize();
    return code;
}
