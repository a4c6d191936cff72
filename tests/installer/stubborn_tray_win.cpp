// A stand-in for a Parlow instance that will not quit: it holds the single-instance mutex and
// a tray window of Parlow's class and title that notes every WM_CLOSE in LOG and ignores it.
// It ends by itself once the file STOP exists.
//   stubborn_tray.exe LOG STOP
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>

namespace {

const wchar_t* gLog = nullptr;
const wchar_t* gStop = nullptr;

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE: {
            FILE* log = _wfopen(gLog, L"a");
            if (log != nullptr) {
                std::fputs("close\n", log);
                std::fclose(log);
            }
            return 0;
        }
        case WM_TIMER:
            if (GetFileAttributesW(gStop) != INVALID_FILE_ATTRIBUTES) PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) return 2;
    gLog = argv[1];
    gStop = argv[2];
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Local\\ParlowCollectorApp");
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return 3;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"ParlowTray";
    if (RegisterClassExW(&windowClass) == 0) return 4;
    HWND hwnd = CreateWindowExW(0, L"ParlowTray", L"Parlow", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (hwnd == nullptr) return 5;
    SetTimer(hwnd, 1, 100, nullptr);
    // Ready: the test waits for this line before it starts the installer.
    FILE* log = _wfopen(gLog, L"a");
    if (log != nullptr) {
        std::fputs("ready\n", log);
        std::fclose(log);
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    DestroyWindow(hwnd);
    CloseHandle(mutex);
    LocalFree(argv);
    return 0;
}
