#include "app/handover_win.h"

#include "app/app_win.h"
#include "app/controller.h"

namespace vornet::app {

int handOver(const AppOptions& options) {
    if (!options.connectCode.empty()) {
        HWND target = FindWindowW(kTrayWindowClass, nullptr);
        if (target == nullptr) return kHandoverFailedExit;
        DWORD process = 0;
        GetWindowThreadProcessId(target, &process);
        // The first instance brings its window to the front; only the foreground may allow it.
        AllowSetForegroundWindow(process);
        COPYDATASTRUCT copy{};
        copy.dwData = static_cast<ULONG_PTR>(kHandoverTag);
        copy.cbData = static_cast<DWORD>(options.connectCode.size());
        copy.lpData = const_cast<char*>(options.connectCode.data());
        DWORD_PTR answer = 0;
        LRESULT sent = SendMessageTimeoutW(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_ABORTIFHUNG,
                                           kHandoverTimeoutMs, &answer);
        return sent != 0 && answer != 0 ? 0 : kHandoverFailedExit;
    }
    if (options.background) return 0;
    HWND target = FindWindowW(kTrayWindowClass, nullptr);
    if (target != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(target, &process);
        AllowSetForegroundWindow(process);
        PostMessageW(target, kShowWindowMessage, 0, 0);
    }
    return 0;
}

}  // namespace vornet::app
