// A string for secrets the program keeps for a while (the bearer token, the game client's
// password, an invite code): its bytes are overwritten before its memory is given back, so a
// later core dump or a reused heap block does not show them. Short-lived copies made while a
// request is built are not covered.
#pragma once

#include <string>
#include <string_view>

namespace vornet {

// Overwrites every byte `text` owns (its whole capacity) with zeros and leaves it empty.
void secureWipe(std::string& text);

class SecretString {
public:
    SecretString() = default;
    // Implicit, so a record field of this type is filled like a std::string field.
    SecretString(std::string value) : value_(std::move(value)) {}
    SecretString(const char* value) : value_(value) {}
    SecretString(const SecretString& other) : value_(other.value_) {}
    // The source is wiped: a short value moves by copying bytes, which would stay behind.
    SecretString(SecretString&& other) noexcept : value_(std::move(other.value_)) { secureWipe(other.value_); }
    SecretString& operator=(const SecretString& other) {
        if (this != &other) {
            secureWipe(value_);
            value_ = other.value_;
        }
        return *this;
    }
    SecretString& operator=(SecretString&& other) noexcept {
        if (this != &other) {
            secureWipe(value_);
            value_ = std::move(other.value_);
            secureWipe(other.value_);
        }
        return *this;
    }
    ~SecretString() { secureWipe(value_); }

    const std::string& str() const { return value_; }
    operator const std::string&() const { return value_; }
    bool empty() const { return value_.empty(); }
    std::size_t size() const { return value_.size(); }
    void clear() { secureWipe(value_); }

    friend bool operator==(const SecretString& a, const SecretString& b) { return a.value_ == b.value_; }

private:
    std::string value_;
};

}  // namespace vornet
