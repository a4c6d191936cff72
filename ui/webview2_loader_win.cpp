// Finds the installed Evergreen WebView2 runtime and creates its environment. The runtime
// registers itself with Edge Update under its client id, per machine (the 32-bit registry
// view of HKLM) or per user (HKCU), with its folder ("location") and version ("pv"); its
// browser DLL lives under <location>\<pv>\EBWebView\<architecture>\ and exports the
// function that the SDK loader calls to create an environment.
#include <windows.h>

#include <string>

#include "ui/webview2_win.h"

namespace vornet::webview2 {
namespace {

constexpr const wchar_t* kClientKey =
    L"Software\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

#if defined(_M_ARM64) || defined(__aarch64__)
constexpr const wchar_t* kArchitecture = L"arm64";
#elif defined(_WIN64)
constexpr const wchar_t* kArchitecture = L"x64";
#else
constexpr const wchar_t* kArchitecture = L"x86";
#endif

// The runtime's "installed" kind (as opposed to a fixed-version copy).
constexpr int kInstalledRuntime = 0;

using CreateFunction = HRESULT(STDMETHODCALLTYPE*)(bool checkRunningInstance, int runtimeKind, LPCWSTR userDataFolder,
                                                   IUnknown* options,
                                                   ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);

std::wstring registryText(HKEY root, REGSAM view, const wchar_t* name) {
    DWORD bytes = 0;
    if (RegGetValueW(root, kClientKey, name, RRF_RT_REG_SZ | view, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes < sizeof(wchar_t)) {
        return {};
    }
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(root, kClientKey, name, RRF_RT_REG_SZ | view, nullptr, text.data(), &bytes) != ERROR_SUCCESS) {
        return {};
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

// The browser DLL of one registration, or empty when that registration is absent, marks
// an uninstalled runtime (version 0.0.0.0) or points at a missing file.
std::wstring runtimeDll(HKEY root, REGSAM view) {
    const std::wstring location = registryText(root, view, L"location");
    const std::wstring version = registryText(root, view, L"pv");
    if (location.empty() || version.empty() || version == L"0.0.0.0") return {};
    std::wstring path = location;
    if (path.back() != L'\\') path += L'\\';
    path += version + L"\\EBWebView\\" + kArchitecture + L"\\EmbeddedBrowserWebView.dll";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return {};
    return path;
}

}  // namespace

HRESULT createEnvironment(LPCWSTR userDataFolder, ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    // A per-machine install wins over a per-user one, as with the SDK loader.
    std::wstring dll = runtimeDll(HKEY_LOCAL_MACHINE, RRF_SUBKEY_WOW6432KEY);
    if (dll.empty()) dll = runtimeDll(HKEY_CURRENT_USER, 0);
    if (dll.empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

    // The runtime stays loaded for the life of the process: its environment and windows
    // call back into it.
    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    auto create = reinterpret_cast<CreateFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "CreateWebViewEnvironmentWithOptionsInternal")));
    if (create == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    return create(true, kInstalledRuntime, userDataFolder, nullptr, handler);
}

}  // namespace vornet::webview2
