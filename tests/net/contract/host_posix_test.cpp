// The POSIX transport always runs on its real platform.
#include "contract_env.h"

namespace contract {

bool runsUnderWine() {
    return false;
}

}  // namespace contract
