// Text, time and identifier utilities shared by the whole system. Text inside the system is
// UTF-8 in byte strings; UTF-16 (`WideString`) appears only at the platform boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornet {

// UTF-16 text. On Windows its code units are the platform's wide characters.
using WideString = std::u16string;

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string wideToUtf8(std::u16string_view wide);
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
WideString utf8ToWide(std::string_view utf8);
// Strict UTF-8 to UTF-16 for file paths: invalid UTF-8 throws std::system_error.
WideString utf8ToPath(std::string_view utf8);

std::string base64Encode(std::string_view bytes);
// DER bytes of every certificate block of a PEM text, in order of appearance.
std::vector<std::string> pemCertificates(std::string_view pem);
// True for exactly "127.0.0.1", "localhost" or "::1".
bool isLoopbackHost(std::string_view host);

// Wall clock, milliseconds since 1970-01-01 UTC.
std::int64_t nowUnixMs();
// Monotonic clock in milliseconds.
std::int64_t steadyNowMs();
// ISO-8601 UTC time stamp with milliseconds, e.g. 2023-11-14T22:13:20.123Z.
std::string formatIsoUtc(std::int64_t unixMs);
// Appends formatIsoUtc(unixMs) to `out`.
void appendIsoUtc(std::string& out, std::int64_t unixMs);

// 2n lowercase hexadecimal digits of random bytes from the system generator.
std::string randomHex(std::size_t byteCount);
// Fills `out` from the system generator; false when it failed (the caller falls back).
bool systemRandomBytes(unsigned char* out, std::size_t count);

std::optional<std::string> getEnv(const std::string& name);

std::string asciiLower(std::string_view text);
// Without leading and trailing space, tab, line feed and carriage return.
std::string trimAscii(std::string_view text);
std::string_view trimAsciiView(std::string_view text);

}  // namespace vornet
