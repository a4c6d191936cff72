#include "core/json.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vornet {

namespace {

// Length of the leading run of bytes that need no attention inside a JSON string: anything but
// the double quote, the backslash and bytes below 0x20. Strings make up most of a game client
// answer, so the run is measured sixteen bytes at a time where SSE2 is there (every x86-64),
// then eight at a time.
std::size_t plainRunLength(const char* p, std::size_t n) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i lastControl = _mm_set1_epi8(0x1F);
    for (; i + 16 <= n; i += 16) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // A byte at or below 0x1F is its own unsigned minimum with 0x1F.
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(w, quote), _mm_cmpeq_epi8(w, backslash)),
                                         _mm_cmpeq_epi8(_mm_min_epu8(w, lastControl), w));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        std::uint64_t quote = w ^ (ones * '"');
        std::uint64_t backslash = w ^ (ones * '\\');
        std::uint64_t special = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((w - ones * 0x20) & ~w);
        if (special & highs) break;
    }
    for (; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\' || c < 0x20) break;
    }
    return i;
}

}  // namespace

JsonValue::JsonValue(bool value) : kind(JsonKind::Bool), boolean(value) {}

JsonValue::JsonValue(std::int64_t value) : kind(JsonKind::Number) {
    char buffer[24];
    // Built by hand: the most negative value has no positive counterpart.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char* end = buffer + sizeof buffer;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--p = '-';
    text.assign(p, end);
}

JsonValue::JsonValue(std::uint64_t value) : kind(JsonKind::Number) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    text.assign(p, end);
}

JsonValue::JsonValue(double value) {
    if (!std::isfinite(value)) return;
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%.17g", value);
    kind = JsonKind::Number;
    text.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

JsonValue::JsonValue(std::string value) : kind(JsonKind::String), text(std::move(value)) {}

JsonValue::JsonValue(const JsonValue&) = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(const JsonValue&) = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
JsonValue::~JsonValue() = default;

JsonValue JsonValue::array() {
    JsonValue v;
    v.kind = JsonKind::Array;
    return v;
}

JsonValue JsonValue::object() {
    JsonValue v;
    v.kind = JsonKind::Object;
    return v;
}

JsonValue JsonValue::numberText(std::string numberText) {
    JsonValue v;
    v.kind = JsonKind::Number;
    v.text = std::move(numberText);
    return v;
}

const JsonValue* JsonValue::find(std::string_view key) const {
    if (kind != JsonKind::Object) return nullptr;
    for (const JsonMember& m : members)
        if (m.key == key) return &m.value;
    return nullptr;
}

JsonValue* JsonValue::find(std::string_view key) {
    return const_cast<JsonValue*>(static_cast<const JsonValue*>(this)->find(key));
}

bool JsonValue::getBool(std::string_view key, bool fallback) const {
    const JsonValue* v = find(key);
    return v && v->kind == JsonKind::Bool ? v->boolean : fallback;
}

double JsonValue::getNumber(std::string_view key, double fallback) const {
    const JsonValue* v = find(key);
    return v && v->kind == JsonKind::Number ? v->asDouble(fallback) : fallback;
}

std::string JsonValue::getString(std::string_view key, std::string fallback) const {
    const JsonValue* v = find(key);
    if (v && v->kind == JsonKind::String) return v->text;
    return fallback;
}

double JsonValue::asDouble(double fallback) const {
    if (kind != JsonKind::Number) return fallback;
    return std::strtod(text.c_str(), nullptr);
}

std::int64_t JsonValue::asInt64(std::int64_t fallback) const {
    if (kind != JsonKind::Number) return fallback;
    double d = asDouble(0.0);
    // 2^63 is exactly representable; anything at or beyond it (or NaN) is out of range.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return 0;
    return static_cast<std::int64_t>(std::llround(d));
}

const std::string& JsonValue::asString() const {
    static const std::string empty;
    return kind == JsonKind::String ? text : empty;
}

const std::vector<JsonValue>& JsonValue::asArray() const {
    static const std::vector<JsonValue> empty;
    return kind == JsonKind::Array ? elements : empty;
}

const std::vector<JsonMember>& JsonValue::asObject() const {
    static const std::vector<JsonMember> empty;
    return kind == JsonKind::Object ? members : empty;
}

void JsonValue::resetTo(JsonKind newKind) {
    kind = newKind;
    boolean = false;
    text.clear();
    elements.clear();
    members.clear();
}

void JsonValue::set(std::string_view key, JsonValue value) {
    if (kind != JsonKind::Object) resetTo(JsonKind::Object);
    for (JsonMember& m : members) {
        if (m.key == key) {
            m.value = std::move(value);
            return;
        }
    }
    members.push_back(JsonMember{std::string(key), std::move(value)});
}

void JsonValue::push(JsonValue value) {
    if (kind != JsonKind::Array) resetTo(JsonKind::Array);
    elements.push_back(std::move(value));
}

// ---------------------------------------------------------------------------------------------
// Parser

namespace {

constexpr int kMaxDepth = 128;

// The grammar both readers share: the position, failures, whitespace, the value count, strings
// and numbers.
class Scanner {
public:
    std::string errorText() const {
        std::string message = message_ ? message_ : "invalid JSON";
        message += " at offset ";
        message += std::to_string(pos_);
        return message;
    }

protected:
    explicit Scanner(std::string_view text) : p_(text.data()), n_(text.size()) {}

    const char* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
    const char* message_ = nullptr;
    std::size_t values_ = 0;

    bool fail(const char* message) {
        message_ = message;
        return false;
    }

    void skipWhitespace() {
        while (pos_ < n_) {
            char c = p_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
            ++pos_;
        }
    }

    bool startsWith(const char* literal, std::size_t length) const {
        return n_ - pos_ >= length && std::memcmp(p_ + pos_, literal, length) == 0;
    }

    // The checks before every value: the nesting limit, the end of the text and the count.
    bool enterValue(int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        if (pos_ >= n_) return fail("unexpected end");
        // Each value costs far more memory than the two bytes "0," it may take in the text;
        // the count keeps a large answer from turning into gigabytes.
        if (++values_ > kMaxJsonValues) return fail("too many values");
        return true;
    }

    // Advances past an expected separator or closing bracket; `more` is set when a ',' was
    // found. Fails with `message` when neither is there.
    bool nextOrClose(char close, bool& more, const char* message) {
        skipWhitespace();
        if (pos_ < n_ && p_[pos_] == ',') {
            ++pos_;
            more = true;
            return true;
        }
        if (pos_ < n_ && p_[pos_] == close) {
            ++pos_;
            more = false;
            return true;
        }
        return fail(message);
    }

    // After an opening bracket: true (past it) when the container is closed at once.
    bool closesAtOnce(char close) {
        ++pos_;
        skipWhitespace();
        if (pos_ < n_ && p_[pos_] == close) {
            ++pos_;
            return true;
        }
        return false;
    }

    // pos_ is on the quote that opens a key; leaves pos_ past the ':' and the spaces after it.
    bool expectColon() {
        skipWhitespace();
        if (pos_ >= n_ || p_[pos_] != ':') return fail("expected :");
        ++pos_;
        skipWhitespace();
        return true;
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // Reads four hex digits at pos_; the caller has checked that four bytes remain.
    bool readHex4(unsigned& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            int d = hexDigit(p_[pos_]);
            ++pos_;
            if (d < 0) return fail("bad \\u escape");
            unit = unit << 4 | static_cast<unsigned>(d);
        }
        return true;
    }

    static void appendUtf8(std::string& out, unsigned cp) {
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

    // pos_ is just past the `u` of an escape.
    bool parseUnicodeEscape(std::string& out) {
        if (n_ - pos_ < 4) return fail("bad \\u escape");
        unsigned unit;
        if (!readHex4(unit)) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (n_ - pos_ >= 2 && p_[pos_] == '\\' && p_[pos_ + 1] == 'u') {
                std::size_t afterFirst = pos_;
                pos_ += 2;
                if (n_ - pos_ < 4) return fail("bad \\u escape");
                unsigned low;
                if (!readHex4(low)) return false;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    return true;
                }
                // Not a low surrogate: decode the second escape again on its own.
                pos_ = afterFirst;
            }
            appendUtf8(out, 0xFFFD);
            return true;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) unit = 0xFFFD;
        appendUtf8(out, unit);
        return true;
    }

    // pos_ is on the opening quote.
    bool parseString(std::string& out) {
        ++pos_;
        for (;;) {
            // Copy the run of ordinary bytes in one go.
            std::size_t start = pos_;
            pos_ += plainRunLength(p_ + pos_, n_ - pos_);
            out.append(p_ + start, pos_ - start);
            if (pos_ >= n_) return fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(p_[pos_]);
            ++pos_;
            if (c == '"') return true;
            if (c < 0x20) return fail("control character in string");
            // Backslash.
            if (pos_ >= n_) return fail("unterminated string");
            char e = p_[pos_];
            ++pos_;
            switch (e) {
            case '"': out.push_back('"'); break;
            case '/': out.push_back('/'); break;
            case '\\': out.push_back('\\'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u':
                if (!parseUnicodeEscape(out)) return false;
                break;
            default: return fail("bad escape");
            }
        }
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    // Moves pos_ past the number that starts there.
    bool scanNumber() {
        if (p_[pos_] == '-') {
            ++pos_;
            if (pos_ >= n_) return fail("bad number");
        }
        if (p_[pos_] == '0') {
            ++pos_;
        } else if (p_[pos_] >= '1' && p_[pos_] <= '9') {
            while (pos_ < n_ && isDigit(p_[pos_])) ++pos_;
        } else {
            return fail("unexpected character");
        }
        if (pos_ < n_ && p_[pos_] == '.') {
            ++pos_;
            if (pos_ >= n_ || !isDigit(p_[pos_])) return fail("bad number");
            while (pos_ < n_ && isDigit(p_[pos_])) ++pos_;
        }
        if (pos_ < n_ && (p_[pos_] == 'e' || p_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < n_ && (p_[pos_] == '+' || p_[pos_] == '-')) ++pos_;
            if (pos_ >= n_ || !isDigit(p_[pos_])) return fail("bad number");
            while (pos_ < n_ && isDigit(p_[pos_])) ++pos_;
        }
        return true;
    }
};

// Builds the document.
class Parser : public Scanner {
public:
    explicit Parser(std::string_view text) : Scanner(text) {}

    bool parseDocument(JsonValue& out) {
        skipWhitespace();
        if (!parseValue(out, 0)) return false;
        skipWhitespace();
        if (pos_ != n_) return fail("trailing characters");
        return true;
    }

private:
    bool parseValue(JsonValue& out, int depth) {
        if (!enterValue(depth)) return false;
        switch (p_[pos_]) {
        case '{': return parseObject(out, depth);
        case '[': return parseArray(out, depth);
        case '"':
            out.kind = JsonKind::String;
            return parseString(out.text);
        default: break;
        }
        if (startsWith("true", 4)) {
            pos_ += 4;
            out.kind = JsonKind::Bool;
            out.boolean = true;
            return true;
        }
        if (startsWith("false", 5)) {
            pos_ += 5;
            out.kind = JsonKind::Bool;
            out.boolean = false;
            return true;
        }
        if (startsWith("null", 4)) {
            pos_ += 4;
            out.kind = JsonKind::Null;
            return true;
        }
        const std::size_t start = pos_;
        if (!scanNumber()) return false;
        out.kind = JsonKind::Number;
        out.text.assign(p_ + start, pos_ - start);
        return true;
    }

    bool parseArray(JsonValue& out, int depth) {
        out.kind = JsonKind::Array;
        if (closesAtOnce(']')) return true;
        for (bool more = true; more;) {
            skipWhitespace();
            out.elements.emplace_back();
            if (!parseValue(out.elements.back(), depth + 1)) return false;
            if (!nextOrClose(']', more, "expected , or ]")) return false;
        }
        return true;
    }

    bool parseObject(JsonValue& out, int depth) {
        out.kind = JsonKind::Object;
        if (closesAtOnce('}')) return true;
        for (bool more = true; more;) {
            skipWhitespace();
            if (pos_ >= n_ || p_[pos_] != '"') return fail("expected key");
            out.members.emplace_back();
            JsonMember& member = out.members.back();
            if (!parseString(member.key)) return false;
            if (!expectColon()) return false;
            if (!parseValue(member.value, depth + 1)) return false;
            if (!nextOrClose('}', more, "expected , or }")) return false;
        }
        return true;
    }
};

// Writes the compact text of the document as it reads it, leaving out the members whose keys
// `leaveOut_` accepts; no document is built. It walks the text exactly as Parser does, so it
// accepts and refuses the same texts, with the same messages at the same offsets.
class CompactCopier : public Scanner {
public:
    // The compact text is never longer than the text it comes from (every escape the writer
    // produces is at most as long as the one it read, and white space goes), so the output
    // takes room for the whole input once and is written through a cursor.
    CompactCopier(std::string_view text, std::string& out, bool (*leaveOut)(std::string_view))
        : Scanner(text), out_(out), leaveOut_(leaveOut) {
        const std::size_t start = out_.size();
        out_.resize(start + text.size());
        cursor_ = out_.data() + start;
    }
    ~CompactCopier() { out_.resize(static_cast<std::size_t>(cursor_ - out_.data())); }
    CompactCopier(const CompactCopier&) = delete;
    CompactCopier& operator=(const CompactCopier&) = delete;

    bool copyDocument() {
        skipWhitespace();
        if (!copyValue(0, true)) return false;
        skipWhitespace();
        if (pos_ != n_) return fail("trailing characters");
        return true;
    }

private:
    std::string& out_;
    char* cursor_ = nullptr;
    bool (*leaveOut_)(std::string_view);
    std::string scratch_;  // an unescaped string; never needed across a nested value
    std::string escaped_;  // its text as the writer gives it

    void put(char c) { *cursor_++ = c; }
    void put(const char* text, std::size_t length) {
        std::memcpy(cursor_, text, length);
        cursor_ += length;
    }

    // `emit` is false inside a member that is left out: the value is only checked.
    bool copyValue(int depth, bool emit) {
        if (!enterValue(depth)) return false;
        switch (p_[pos_]) {
        case '{': return copyObject(depth, emit);
        case '[': return copyArray(depth, emit);
        case '"': {
            std::string_view text;
            bool verbatim = false;
            if (!readString(text, verbatim)) return false;
            if (emit) writeString(text, verbatim);
            return true;
        }
        default: break;
        }
        const std::size_t start = pos_;
        if (startsWith("true", 4)) {
            pos_ += 4;
        } else if (startsWith("false", 5)) {
            pos_ += 5;
        } else if (startsWith("null", 4)) {
            pos_ += 4;
        } else if (!scanNumber()) {
            return false;
        }
        // Literals and numbers are written as they stand.
        if (emit) put(p_ + start, pos_ - start);
        return true;
    }

    // pos_ is on the opening quote. `text` is the unescaped content; `verbatim` tells that the
    // string held no escape, so that its text between the quotes is already what the writer
    // would give.
    bool readString(std::string_view& text, bool& verbatim) {
        const std::size_t start = pos_ + 1;
        const std::size_t run = plainRunLength(p_ + start, n_ - start);
        if (start + run < n_ && p_[start + run] == '"') {
            text = std::string_view(p_ + start, run);
            verbatim = true;
            pos_ = start + run + 1;
            return true;
        }
        scratch_.clear();
        if (!parseString(scratch_)) return false;
        text = scratch_;
        verbatim = false;
        return true;
    }

    void writeString(std::string_view text, bool verbatim) {
        if (!verbatim) {
            escaped_.clear();
            appendJsonString(escaped_, text);
            // Never longer than the escaped text it was read from; checked all the same, as
            // the one place where the output is not a byte-for-byte part of the input.
            const std::size_t used = static_cast<std::size_t>(cursor_ - out_.data());
            if (out_.size() - used < escaped_.size()) {
                out_.resize(used + escaped_.size() + (n_ - pos_));
                cursor_ = out_.data() + used;
            }
            put(escaped_.data(), escaped_.size());
            return;
        }
        put('"');
        put(text.data(), text.size());
        put('"');
    }

    bool copyArray(int depth, bool emit) {
        if (emit) put('[');
        if (!closesAtOnce(']')) {
            for (bool more = true, first = true; more; first = false) {
                skipWhitespace();
                if (emit && !first) put(',');
                if (!copyValue(depth + 1, emit)) return false;
                if (!nextOrClose(']', more, "expected , or ]")) return false;
            }
        }
        if (emit) put(']');
        return true;
    }

    bool copyObject(int depth, bool emit) {
        if (emit) put('{');
        if (!closesAtOnce('}')) {
            bool wroteMember = false;
            for (bool more = true; more;) {
                skipWhitespace();
                if (pos_ >= n_ || p_[pos_] != '"') return fail("expected key");
                std::string_view key;
                bool verbatim = false;
                if (!readString(key, verbatim)) return false;
                const bool keep = emit && !leaveOut_(key);
                if (keep) {
                    if (wroteMember) put(',');
                    writeString(key, verbatim);
                    put(':');
                    wroteMember = true;
                }
                if (!expectColon()) return false;
                if (!copyValue(depth + 1, keep)) return false;
                if (!nextOrClose('}', more, "expected , or }")) return false;
            }
        }
        if (emit) put('}');
        return true;
    }
};

}  // namespace

std::optional<JsonValue> parseJson(std::string_view text, std::string* error) {
    Parser parser(text);
    std::optional<JsonValue> result(std::in_place);
    if (parser.parseDocument(*result)) return result;
    if (error) *error = parser.errorText();
    return std::nullopt;
}

bool appendCompactJson(std::string& out, std::string_view text, bool (*leaveOut)(std::string_view key),
                       std::string* error) {
    std::string message;
    {
        CompactCopier copier(text, out, leaveOut);
        if (copier.copyDocument()) return true;
        message = copier.errorText();
    }
    if (error) *error = std::move(message);
    return false;
}

// ---------------------------------------------------------------------------------------------
// Writer

void appendJsonString(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    const char* p = s.data();
    std::size_t n = s.size();
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < n; ++i) {
        i += plainRunLength(p + i, n - i);
        if (i >= n) break;
        unsigned char c = static_cast<unsigned char>(p[i]);
        out.append(p + runStart, i - runStart);
        runStart = i + 1;
        switch (c) {
        case '"': out.append("\\\"", 2); break;
        case '\\': out.append("\\\\", 2); break;
        case '\b': out.append("\\b", 2); break;
        case '\t': out.append("\\t", 2); break;
        case '\n': out.append("\\n", 2); break;
        case '\f': out.append("\\f", 2); break;
        case '\r': out.append("\\r", 2); break;
        default: {
            char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            out.append(esc, 6);
        }
        }
    }
    out.append(p + runStart, n - runStart);
    out.push_back('"');
}

void appendJson(std::string& out, const JsonValue& value) {
    switch (value.kind) {
    case JsonKind::Null: out.append("null", 4); return;
    case JsonKind::Bool:
        if (value.boolean)
            out.append("true", 4);
        else
            out.append("false", 5);
        return;
    case JsonKind::Number: out.append(value.text); return;
    case JsonKind::String: appendJsonString(out, value.text); return;
    case JsonKind::Array: {
        out.push_back('[');
        bool first = true;
        for (const JsonValue& e : value.elements) {
            if (!first) out.push_back(',');
            first = false;
            appendJson(out, e);
        }
        out.push_back(']');
        return;
    }
    case JsonKind::Object: {
        out.push_back('{');
        bool first = true;
        for (const JsonMember& m : value.members) {
            if (!first) out.push_back(',');
            first = false;
            appendJsonString(out, m.key);
            out.push_back(':');
            appendJson(out, m.value);
        }
        out.push_back('}');
        return;
    }
    }
}

std::string writeJson(const JsonValue& value) {
    std::string out;
    appendJson(out, value);
    return out;
}

}  // namespace vornet
