// One owning type for every kind of operating-system handle: move-only, released exactly once.
// A traits type per kind names the handle type, its empty value (kEmpty, or empty() where it
// is not a constant expression; the type's zero value when neither is given) and how it is
// released.
#pragma once

#include <utility>

namespace vornet {

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != empty(); }

    // Releases the current handle and returns the slot, for calls that hand out a new one.
    Handle* put() {
        reset();
        return &handle_;
    }

    // Gives up ownership without releasing (for a handle that something else already closed).
    Handle release() { return std::exchange(handle_, empty()); }

    void reset(Handle handle = empty()) {
        Handle old = std::exchange(handle_, handle);
        if (old != empty()) Traits::close(old);
    }

private:
    static Handle empty() {
        if constexpr (requires { Traits::empty(); }) {
            return Traits::empty();
        } else if constexpr (requires { Traits::kEmpty; }) {
            return Traits::kEmpty;
        } else {
            return Handle{};
        }
    }
    Handle handle_ = empty();
};

}  // namespace vornet
