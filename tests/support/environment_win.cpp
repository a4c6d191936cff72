#include <windows.h>

#include "core/text.h"
#include "tests/support/environment.h"

namespace vornet::testing {

void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    const WideString wideName = utf8ToWide(name);
    if (value) {
        const WideString wideValue = utf8ToWide(*value);
        SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(wideName.c_str()),
                                reinterpret_cast<const wchar_t*>(wideValue.c_str()));
    } else {
        SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(wideName.c_str()), nullptr);
    }
}

}  // namespace vornet::testing
