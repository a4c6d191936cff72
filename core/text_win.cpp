#include <windows.h>
#include <bcrypt.h>

#include <system_error>
#include <vector>

#include "core/text.h"

namespace vornet {

namespace {

const wchar_t* asWide(std::u16string_view s) { return reinterpret_cast<const wchar_t*>(s.data()); }

std::u16string convertToWide(std::string_view utf8, DWORD flags, bool& ok) {
    ok = true;
    if (utf8.empty()) return {};
    if (utf8.size() > 0x7FFFFFFF) {
        ok = false;
        return {};
    }
    int length = MultiByteToWideChar(CP_UTF8, flags, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (length <= 0) {
        ok = false;
        return {};
    }
    std::u16string out(static_cast<std::size_t>(length), u'\0');
    MultiByteToWideChar(CP_UTF8, flags, utf8.data(), static_cast<int>(utf8.size()),
                        reinterpret_cast<wchar_t*>(out.data()), length);
    return out;
}

}  // namespace

std::string wideToUtf8(std::u16string_view wide) {
    if (wide.empty() || wide.size() > 0x7FFFFFFF) return {};
    int length = WideCharToMultiByte(CP_UTF8, 0, asWide(wide), static_cast<int>(wide.size()), nullptr, 0,
                                     nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, asWide(wide), static_cast<int>(wide.size()), out.data(), length, nullptr,
                        nullptr);
    return out;
}

WideString utf8ToWide(std::string_view utf8) {
    bool ok;
    return convertToWide(utf8, 0, ok);
}

WideString utf8ToPath(std::string_view utf8) {
    bool ok;
    std::u16string out = convertToWide(utf8, MB_ERR_INVALID_CHARS, ok);
    if (!ok) {
        DWORD code = GetLastError();
        throw std::system_error(static_cast<int>(code ? code : ERROR_NO_UNICODE_TRANSLATION),
                                std::system_category(), "utf8ToPath");
    }
    return out;
}

std::int64_t nowUnixMs() {
    using PreciseFn = VOID(WINAPI*)(LPFILETIME);
    static const PreciseFn precise = reinterpret_cast<PreciseFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    FILETIME ft{};
    if (precise)
        precise(&ft);
    else
        GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER units;
    units.LowPart = ft.dwLowDateTime;
    units.HighPart = ft.dwHighDateTime;
    return (static_cast<std::int64_t>(units.QuadPart) - 116444736000000000LL) / 10000;
}

std::int64_t steadyNowMs() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::int64_t ticks = counter.QuadPart;
    std::int64_t nanoseconds;
    if (frequency == 10000000) {
        nanoseconds = ticks * 100;
    } else {
        std::int64_t whole = ticks / frequency;
        std::int64_t part = ticks % frequency;
        nanoseconds = whole * 1000000000LL + part * 1000000000LL / frequency;
    }
    return nanoseconds / 1000000;
}

bool systemRandomBytes(unsigned char* out, std::size_t count) {
    if (count > 0xFFFFFFFF) return false;
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

std::optional<std::string> getEnv(const std::string& name) {
    SetLastError(ERROR_SUCCESS);
    DWORD needed = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
    if (needed == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::string value(needed, '\0');
    DWORD written = GetEnvironmentVariableA(name.c_str(), value.data(), needed);
    value.resize(written < needed ? written : 0);
    return value;
}

}  // namespace vornet
