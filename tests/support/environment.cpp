#include "tests/support/environment.h"

#include "core/text.h"

namespace vornet::testing {

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), previous_(getEnv(name_)) {
    setEnvironment(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    setEnvironment(name_, previous_);
}

}  // namespace vornet::testing
