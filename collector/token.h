// The collector's bearer token, stored sealed for the current user in a file named after the
// collector id, with the environment variable VORNET_COLLECTOR_TOKEN as a fallback source.
#pragma once

#include <optional>
#include <string>

namespace vornet {

// "collector-<id>[-<fnv1a>].token": unsafe bytes become '_', and a hash suffix keeps ids apart
// that would otherwise collide (replaced bytes, or case on a case-insensitive file system).
std::string tokenFileName(const std::string& collectorId);
// tokenFolder() joined with tokenFileName(collectorId).
std::string tokenFilePath(const std::string& collectorId);

// Seals the token for the current user and replaces its file; false with `error` on failure.
bool writeToken(const std::string& collectorId, const std::string& token, std::string& error);

// The stored token ("dpapi" in `source`), else a non-empty VORNET_COLLECTOR_TOKEN
// ("environment"). `error` tells why the file could not be opened, or that no token exists;
// it may be set even when the environment supplied a token.
std::optional<std::string> readToken(const std::string& collectorId, std::string& source, std::string& error);

}  // namespace vornet
