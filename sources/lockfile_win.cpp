#include <windows.h>
#include <tlhelp32.h>

#include <memory>

#include "core/text.h"
#include "sources/lockfile.h"

namespace vornet {
namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

bool isClientImageName(const wchar_t* exeFile) {
    std::u16string wide(reinterpret_cast<const char16_t*>(exeFile));
    std::string name = asciiLower(wideToUtf8(wide));
    return name == "leagueclientux.exe" || name == "leagueclient.exe";
}

}  // namespace

std::optional<std::string> findRunningClientDir() {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE) return std::nullopt;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (!isClientImageName(entry.szExeFile)) continue;
        UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) continue;
        wchar_t image[1040];
        DWORD length = 1040;
        if (!QueryFullProcessImageNameW(process.get(), 0, image, &length) || length == 0) continue;
        std::u16string path(reinterpret_cast<const char16_t*>(image), length);
        std::size_t slash = path.find_last_of(u"\\/");
        if (slash == std::u16string::npos) continue;
        return wideToUtf8(path.substr(0, slash));
    }
    return std::nullopt;
}

std::string productSettingsPath() {
    return "C:\\ProgramData\\Riot Games\\Metadata\\league_of_legends.live\\league_of_legends.live.product_settings.yaml";
}

std::string hostInstallPath(const std::string& path) { return path; }

std::vector<std::string> defaultInstallDirs() {
    return {"C:\\Riot Games\\League of Legends", "D:\\Riot Games\\League of Legends",
            "C:\\Program Files\\Riot Games\\League of Legends"};
}

}  // namespace vornet
