// Wine's ntdll exports wine_get_version; Windows' does not.
#include <windows.h>

#include "contract_env.h"

namespace contract {

bool runsUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace contract
