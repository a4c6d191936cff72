// An independent gzip reader for tests: zlib's inflate in gzip mode checks the header, the
// CRC-32 and the length trailer itself.
#pragma once

#include <optional>
#include <string>

namespace vornet::testing {

// The inflated content of one whole gzip member, or nothing when it is not one (bad header,
// checksum or length, truncated, or bytes after its end).
std::optional<std::string> gunzip(const std::string& member);

}  // namespace vornet::testing
