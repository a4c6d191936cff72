// Runs a function when the scope ends: the clean-up of a test step that may fail half-way.
#pragma once

#include <utility>

namespace vornet::testing {

template <typename F>
class ScopeGuard {
public:
    explicit ScopeGuard(F onExit) : onExit_(std::move(onExit)) {}
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    ~ScopeGuard() {
        if (armed_) onExit_();
    }
    // The clean-up is no longer needed.
    void dismiss() { armed_ = false; }

private:
    F onExit_;
    bool armed_ = true;
};

}  // namespace vornet::testing
