#include "core/text.h"

#include <cstdio>
#include <random>

namespace vornet {

std::string base64Encode(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    auto byteAt = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = byteAt(i) << 16 | byteAt(i + 1) << 8 | byteAt(i + 2);
        out.push_back(alphabet[v >> 18 & 63]);
        out.push_back(alphabet[v >> 12 & 63]);
        out.push_back(alphabet[v >> 6 & 63]);
        out.push_back(alphabet[v & 63]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t v = byteAt(i) << 16;
        out.push_back(alphabet[v >> 18 & 63]);
        out.push_back(alphabet[v >> 12 & 63]);
        out.append("==");
    } else if (rest == 2) {
        std::uint32_t v = byteAt(i) << 16 | byteAt(i + 1) << 8;
        out.push_back(alphabet[v >> 18 & 63]);
        out.push_back(alphabet[v >> 12 & 63]);
        out.push_back(alphabet[v >> 6 & 63]);
        out.push_back('=');
    }
    return out;
}

std::vector<std::string> pemCertificates(std::string_view pem) {
    static constexpr std::string_view begin = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view end = "-----END CERTIFICATE-----";
    std::vector<std::string> certificates;
    std::size_t pos = 0;
    while (pem.size() - pos >= begin.size()) {
        std::size_t b = pem.find(begin, pos);
        if (b == std::string_view::npos) break;
        std::size_t bodyStart = b + begin.size();
        if (pem.size() - bodyStart < end.size()) break;
        std::size_t e = pem.find(end, bodyStart);
        if (e == std::string_view::npos) break;
        std::string der;
        std::uint32_t bits = 0;
        int pending = 0;
        for (std::size_t i = bodyStart; i < e; ++i) {
            char c = pem[i];
            int v;
            if (c >= 'A' && c <= 'Z') v = c - 'A';
            else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
            else if (c >= '0' && c <= '9') v = c - '0' + 52;
            else if (c == '+') v = 62;
            else if (c == '/') v = 63;
            else continue;
            bits = (bits << 6 | static_cast<std::uint32_t>(v)) & 0xFFFFFF;
            pending += 6;
            if (pending >= 8) {
                pending -= 8;
                der.push_back(static_cast<char>(bits >> pending & 0xFF));
            }
        }
        if (!der.empty()) certificates.push_back(std::move(der));
        pos = e + end.size();
    }
    return certificates;
}

bool isLoopbackHost(std::string_view host) {
    return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

void appendIsoUtc(std::string& out, std::int64_t ms) {
    std::int64_t days = ms / 86400000;
    std::int64_t r = ms % 86400000;
    if (r < 0) {
        r += 86400000;
        days -= 1;
    }
    // Civil date from a day count (era method, eras of 400 years starting 0000-03-01).
    std::int64_t z = days + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t y = yoe + era * 400;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    if (y >= 0 && y <= 9999) {
        // The common case without printf: this runs for every observation in a batch.
        char text[24];
        auto put = [&text](int at, std::int64_t value, int width) {
            for (int i = width - 1; i >= 0; --i) {
                text[at + i] = static_cast<char>('0' + value % 10);
                value /= 10;
            }
        };
        put(0, y, 4);
        text[4] = '-';
        put(5, m, 2);
        text[7] = '-';
        put(8, d, 2);
        text[10] = 'T';
        put(11, r / 3600000, 2);
        text[13] = ':';
        put(14, r / 60000 % 60, 2);
        text[16] = ':';
        put(17, r / 1000 % 60, 2);
        text[19] = '.';
        put(20, r % 1000, 3);
        text[23] = 'Z';
        out.append(text, sizeof text);
        return;
    }
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(y),
                          static_cast<unsigned>(m), static_cast<unsigned>(d), static_cast<int>(r / 3600000),
                          static_cast<int>(r / 60000 % 60), static_cast<int>(r / 1000 % 60),
                          static_cast<int>(r % 1000));
    out.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string formatIsoUtc(std::int64_t ms) {
    std::string out;
    appendIsoUtc(out, ms);
    return out;
}

std::string randomHex(std::size_t byteCount) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string bytes(byteCount, '\0');
    auto* raw = reinterpret_cast<unsigned char*>(bytes.data());
    if (!systemRandomBytes(raw, byteCount)) {
        std::random_device device;
        for (std::size_t i = 0; i < byteCount; ++i) raw[i] = static_cast<unsigned char>(device() & 0xFF);
    }
    std::string out;
    out.reserve(byteCount * 2);
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trimAsciiView(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    return text.substr(b, e - b);
}

std::string trimAscii(std::string_view text) { return std::string(trimAsciiView(text)); }

}  // namespace vornet
