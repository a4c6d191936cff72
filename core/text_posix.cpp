#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "core/text.h"
#include "core/utf.h"

namespace vornet {

std::string wideToUtf8(std::u16string_view wide) { return utf::encodeUtf8(wide); }

WideString utf8ToWide(std::string_view utf8) { return *utf::decodeUtf8(utf8, false); }

WideString utf8ToPath(std::string_view utf8) {
    auto wide = utf::decodeUtf8(utf8, true);
    if (!wide) throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), "utf8ToPath");
    return std::move(*wide);
}

std::int64_t nowUnixMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t steadyNowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool systemRandomBytes(unsigned char* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = getrandom(out + done, count - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> getEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

}  // namespace vornet
