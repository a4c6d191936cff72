// windows.h comes first: tlhelp32.h uses its types.
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <system_error>

#include "core/text.h"
#include "core/win_handles_win.h"
#include "sources/lockfile.h"

namespace vornet {
namespace {

// Compared in place: the snapshot walk visits every process, most of them not the client.
bool isClientImageName(const wchar_t* exeFile) {
    auto equalsIgnoringCase = [exeFile](const char* expected) {
        std::size_t i = 0;
        for (; exeFile[i] != L'\0' && expected[i] != '\0'; ++i) {
            wchar_t c = exeFile[i];
            if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
            if (c != static_cast<unsigned char>(expected[i])) return false;
        }
        return exeFile[i] == L'\0' && expected[i] == '\0';
    };
    return equalsIgnoringCase("leagueclientux.exe") || equalsIgnoringCase("leagueclient.exe");
}

}  // namespace

std::optional<std::string> findRunningClientDir() {
    // Only processes in the user's own session count: another user's process named like the
    // client must not choose the folder whose lockfile is read. The session (not the token's
    // user) is compared, so a client started elevated is still found without opening its token.
    DWORD ownSession = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &ownSession)) return std::nullopt;
    win::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return std::nullopt;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (!isClientImageName(entry.szExeFile)) continue;
        DWORD session = 0;
        if (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session != ownSession) continue;
        win::KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
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
    return "C:\\ProgramData\\Riot "
           "Games\\Metadata\\league_of_legends.live\\league_of_legends.live.product_settings.yaml";
}

std::string hostInstallPath(const std::string& path) {
    return path;
}

std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t limit) {
    WideString wide;
    try {
        wide = utf8ToPath(path);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of its target; the checks
    // below then refuse it, like anything that is not a plain disk file (a pipe, a device).
    win::FileHandle file(CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return std::nullopt;
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return std::nullopt;
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > limit) return std::nullopt;
    std::string content(limit + 1, '\0');
    std::size_t done = 0;
    while (done < content.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 65536));
        DWORD read = 0;
        if (!ReadFile(file.get(), content.data() + done, chunk, &read, nullptr)) return std::nullopt;
        if (read == 0) break;
        done += read;
    }
    // The file grew past the limit after the size was taken: still refused.
    if (done > limit) return std::nullopt;
    content.resize(done);
    return content;
}

std::vector<std::string> defaultInstallDirs() {
    return {"C:\\Riot Games\\League of Legends", "D:\\Riot Games\\League of Legends",
            "C:\\Program Files\\Riot Games\\League of Legends"};
}

}  // namespace vornet
