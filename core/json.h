// JSON document model, parser and compact writer.
//
// Numbers are kept as their JSON text and converted only on request, so a parse followed by
// a write reproduces every number byte for byte. Object members keep insertion order and
// repeated keys.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornet {

enum class JsonKind : std::int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct JsonMember;

// One JSON value. Fields that its kind does not use stay empty.
class JsonValue {
public:
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    std::string text;                  // number text, or string content (UTF-8, may hold NUL)
    std::vector<JsonValue> elements;   // Array items
    std::vector<JsonMember> members;   // Object members in insertion order

    JsonValue() = default;
    JsonValue(bool value);
    JsonValue(std::int64_t value);
    JsonValue(std::uint64_t value);
    // Null when the double is NaN or infinite; otherwise its "%.17g" text.
    JsonValue(double value);
    JsonValue(std::string value);
    JsonValue(std::string_view value) : JsonValue(std::string(value)) {}
    JsonValue(const char* value) : JsonValue(std::string(value)) {}
    template <std::integral T>
        requires(!std::same_as<T, bool> && !std::same_as<T, std::int64_t> && !std::same_as<T, std::uint64_t>)
    JsonValue(T value)
        : JsonValue(std::is_signed_v<T> ? JsonValue(static_cast<std::int64_t>(value))
                                        : JsonValue(static_cast<std::uint64_t>(value))) {}

    static JsonValue array();
    static JsonValue object();
    // A Number holding `text` verbatim; the caller vouches that it is valid number text.
    static JsonValue numberText(std::string text);

    JsonValue(const JsonValue&);
    JsonValue(JsonValue&&) noexcept;
    JsonValue& operator=(const JsonValue&);
    JsonValue& operator=(JsonValue&&) noexcept;
    ~JsonValue();

    bool isNull() const { return kind == JsonKind::Null; }
    bool isBool() const { return kind == JsonKind::Bool; }
    bool isNumber() const { return kind == JsonKind::Number; }
    bool isString() const { return kind == JsonKind::String; }
    bool isArray() const { return kind == JsonKind::Array; }
    bool isObject() const { return kind == JsonKind::Object; }

    // Readers never fail: a missing member or another kind gives the default.
    const JsonValue* find(std::string_view key) const;
    JsonValue* find(std::string_view key);
    bool getBool(std::string_view key, bool fallback) const;
    double getNumber(std::string_view key, double fallback) const;
    std::string getString(std::string_view key, std::string fallback) const;
    double asDouble(double fallback) const;
    std::int64_t asInt64(std::int64_t fallback) const;
    const std::string& asString() const;
    const std::vector<JsonValue>& asArray() const;
    const std::vector<JsonMember>& asObject() const;

    // Makes this an Object first if it is not one; replaces the first member with `key` in
    // place or appends a new one.
    void set(std::string_view key, JsonValue value);
    // Makes this an Array first if it is not one, then appends.
    void push(JsonValue value);

private:
    void resetTo(JsonKind newKind);
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

// The most values one parse creates (containers, members' values and elements included);
// one more fails with "too many values". Far above any answer the game client or the
// aggregator gives, and a bound on what a hostile answer can make the parser allocate.
inline constexpr std::size_t kMaxJsonValues = 1048576;

// Parses `text`. On failure returns nothing and, when `error` is given, stores the message
// followed by " at offset " and the byte offset of detection.
std::optional<JsonValue> parseJson(std::string_view text, std::string* error = nullptr);

// Appends the compact text of the JSON document `text` to `out`, leaving out every object
// member, at any depth, whose unescaped key `leaveOut` accepts: what writeJson gives for
// parseJson(text) with those members erased, without building the document. On failure
// returns false, sets `error` as parseJson would, and `out` holds a partial text.
bool appendCompactJson(std::string& out, std::string_view text, bool (*leaveOut)(std::string_view key),
                       std::string* error = nullptr);

// Compact JSON text of `value`.
std::string writeJson(const JsonValue& value);
// Appends the compact JSON text of `value` to `out`.
void appendJson(std::string& out, const JsonValue& value);
// Appends `text` as a quoted, escaped JSON string.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace vornet
