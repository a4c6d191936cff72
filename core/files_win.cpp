#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/files.h"
#include "core/files_platform.h"
#include "core/text.h"
#include "core/win_handles_win.h"

namespace vornet {

namespace {

const wchar_t* asWide(const WideString& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

using win::FileHandle;

// Closes explicitly where the close itself can fail (the last write may be reported there).
bool closeChecked(FileHandle& file) {
    return CloseHandle(file.release()) != FALSE;
}

class CoTaskText {
public:
    CoTaskText() = default;
    CoTaskText(const CoTaskText&) = delete;
    CoTaskText& operator=(const CoTaskText&) = delete;
    ~CoTaskText() { CoTaskMemFree(text_); }
    PWSTR* out() { return &text_; }
    const wchar_t* get() const { return text_; }

private:
    PWSTR text_ = nullptr;
};

class WinReader final : public files_detail::ChunkReader {
public:
    explicit WinReader(HANDLE handle) : file_(handle) {}
    std::ptrdiff_t read(char* buffer, std::size_t capacity) override {
        DWORD got = 0;
        if (!ReadFile(file_.get(), buffer, static_cast<DWORD>(capacity), &got, nullptr)) return -1;
        return static_cast<std::ptrdiff_t>(got);
    }

private:
    FileHandle file_;
};

std::string fromWide(const wchar_t* text) {
    return wideToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), wcslen(text)));
}

// A drive-rooted ("C:\...") or UNC ("\\server\...") path; anything else would resolve against
// the working folder.
bool isAbsoluteFolder(const std::string& path) {
    auto sep = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 3 && path[1] == ':' && sep(path[2])) return true;
    return path.size() >= 2 && sep(path[0]) && sep(path[1]);
}

// The variable read into a buffer of MAX_PATH characters: unset, empty, too long for that
// buffer or relative all give nothing.
std::string folderFromEnv(const wchar_t* name) {
    wchar_t buffer[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    std::string folder = fromWide(buffer);
    return isAbsoluteFolder(folder) ? folder : std::string();
}

std::string knownLocalAppData() {
    CoTaskText path;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, path.out())) || !path.get()) return {};
    std::string folder = fromWide(path.get());
    return isAbsoluteFolder(folder) ? folder : std::string();
}

std::string profileLocalAppData() {
    std::string profile = folderFromEnv(L"USERPROFILE");
    if (profile.empty()) return {};
    return joinPath(joinPath(profile, "AppData"), "Local");
}

// Converts for a platform call; a path that is not valid UTF-8 names no file we could open.
bool toPath(const std::string& path, WideString& wide) {
    try {
        wide = utf8ToPath(path);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace

namespace files_detail {

char preferredSeparator() {
    return '\\';
}
bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

std::unique_ptr<ChunkReader> openForReading(const std::string& path) {
    WideString wide;
    if (!toPath(path, wide)) return nullptr;
    HANDLE handle = CreateFileW(asWide(wide), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WinReader>(handle);
}

bool createFolders(const std::string& folder) {
    WideString wide;
    if (!toPath(folder, wide)) return false;
    std::filesystem::path target(std::wstring(asWide(wide)));
    std::error_code error;
    std::filesystem::create_directories(target, error);
    return std::filesystem::is_directory(target, error);
}

bool writeDurably(const std::string& path, std::string_view bytes) {
    WideString wide;
    if (!toPath(path, wide)) return false;
    FileHandle file(CreateFileW(asWide(wide), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD portion = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(file.get(), bytes.data() + done, portion, &wrote, nullptr) || wrote == 0) return false;
        done += wrote;
    }
    if (!FlushFileBuffers(file.get())) return false;
    return closeChecked(file);
}

bool replaceFile(const std::string& from, const std::string& to) {
    WideString source, target;
    if (!toPath(from, source) || !toPath(to, target)) return false;
    // Write-through: the call returns only once the move itself is on the disk.
    return MoveFileExW(asWide(source), asWide(target),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) != FALSE;
}

void removeFile(const std::string& path) {
    WideString wide;
    if (toPath(path, wide)) DeleteFileW(asWide(wide));
}

}  // namespace files_detail

// The known folder, else %LOCALAPPDATA%, else %USERPROFILE%\AppData\Local; never the working
// folder. "" when none can be found, which makes every file operation under it fail.
std::string appDataFolder() {
    std::string base = knownLocalAppData();
    if (base.empty()) base = folderFromEnv(L"LOCALAPPDATA");
    if (base.empty()) base = profileLocalAppData();
    return joinPath(base, "Parlow");
}

// %LOCALAPPDATA% first (the token's established home), else the same known folder the
// application folder uses.
std::string tokenFolder() {
    std::string base = folderFromEnv(L"LOCALAPPDATA");
    if (base.empty()) base = knownLocalAppData();
    if (base.empty()) base = profileLocalAppData();
    return joinPath(base, "Vornet");
}

// The per-user folders under LocalAppData carry the user's own access list; new folders and
// files inherit it.
bool createPrivateFolders(const std::string& folder) {
    return !folder.empty() && files_detail::createFolders(folder);
}

bool createPrivateFile(const std::string& path) {
    WideString wide;
    if (!toPath(path, wide)) return false;
    FileHandle file(CreateFileW(asWide(wide), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file && closeChecked(file);
}

bool fileExists(const std::string& path) {
    WideString wide;
    try {
        wide = utf8ToPath(path);
    } catch (const std::system_error& error) {
        throw std::filesystem::filesystem_error("exists", error.code());
    }
    if (GetFileAttributesW(asWide(wide)) != INVALID_FILE_ATTRIBUTES) return true;
    DWORD code = GetLastError();
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return false;
        case ERROR_SHARING_VIOLATION:
            // Something is there, held open without sharing (a paging file, for example).
            return true;
        default:
            throw std::filesystem::filesystem_error("exists", std::filesystem::path(std::wstring(asWide(wide))),
                                                    std::error_code(static_cast<int>(code), std::system_category()));
    }
}

}  // namespace vornet
