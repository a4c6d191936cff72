// Owning types for POSIX descriptors (files, sockets, directories opened for fsync).
#pragma once

#include <unistd.h>

#include "core/unique_handle.h"

namespace vornet {

struct FdTraits {
    using Handle = int;
    static constexpr int kEmpty = -1;
    static void close(int fd) { ::close(fd); }
};
// A descriptor closed exactly once; a failed open (-1) holds nothing.
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace vornet
