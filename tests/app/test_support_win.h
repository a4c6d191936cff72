// Helpers of the Windows application tests: where Parlow.exe is, as wine shows it.
#pragma once

#include <string>

#include "core/text.h"

namespace vornet::app::testing {

// A path of the build tree as the Windows program sees it: a Unix path becomes wine's Z: drive.
inline std::wstring windowsPath(const std::string& path) {
    std::wstring out = reinterpret_cast<const wchar_t*>(utf8ToWide(path).c_str());
    if (!out.empty() && out[0] == L'/') {
        for (wchar_t& c : out) {
            if (c == L'/') c = L'\\';
        }
        out = L"Z:" + out;
    }
    return out;
}

inline std::wstring parlowExe() {
    return windowsPath(PARLOW_EXE);
}

}  // namespace vornet::app::testing
