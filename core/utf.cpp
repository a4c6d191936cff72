#include "core/utf.h"

namespace vornet::utf {

std::optional<std::u16string> decodeUtf8(std::string_view s, bool strict) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    const std::size_t n = s.size();
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    while (i < n) {
        unsigned char c = byte(i);
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        std::size_t need;
        char32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            cp = c & 0x0F;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no encoded surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            cp = c & 0x07;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            if (strict) return std::nullopt;
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        std::size_t k = 1;
        bool ok = true;
        for (; k <= need; ++k) {
            if (i + k >= n) {
                ok = false;
                break;
            }
            unsigned char t = byte(i + k);
            unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
            if (t < min || t > max) {
                ok = false;
                break;
            }
            cp = cp << 6 | (t & 0x3F);
        }
        if (!ok) {
            if (strict) return std::nullopt;
            out.push_back(0xFFFD);
            i += k;  // the lead byte and the valid continuation bytes seen so far
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += need + 1;
    }
    return out;
}

std::string encodeUtf8(std::u16string_view w) {
    std::string out;
    out.reserve(w.size());
    for (std::size_t i = 0; i < w.size(); ++i) {
        char32_t cp = w[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace vornet::utf
