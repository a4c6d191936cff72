// A value that travels with its lock: it is reachable only through the guard that lock()
// returns, which holds the mutex for as long as it lives.
#pragma once

#include <mutex>
#include <utility>

namespace vornet {

template <typename T>
class Guarded {
public:
    // The value while the lock is held. Passing one to a function says in its signature that the
    // caller holds the lock.
    class Locked {
    public:
        T* operator->() const { return value_; }
        T& operator*() const { return *value_; }

    private:
        friend class Guarded;
        Locked(std::mutex& mutex, T& value) : lock_(mutex), value_(&value) {}
        std::unique_lock<std::mutex> lock_;
        T* value_;
    };

    template <typename... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    // Blocks until the lock is free.
    Locked lock() { return Locked(mutex_, value_); }
    // False while another holder has the lock; true when it was free (and is free again).
    bool isFree() {
        if (!mutex_.try_lock()) return false;
        mutex_.unlock();
        return true;
    }

private:
    std::mutex mutex_;
    T value_;
};

}  // namespace vornet
