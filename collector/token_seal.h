// The two platform operations behind token storage: seal bytes so that only the current user
// can open them again, and open such a blob. The label binds a blob to its purpose.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vornet {

// The purpose label mixed into every sealed token blob (no terminating zero).
inline constexpr std::string_view kTokenSealLabel = "vornet-sealed-stores/collector-token/v1";
// The description recorded inside a sealed token blob.
inline constexpr std::string_view kTokenSealDescription = "Vornet collector token";

// The sealed blob, or nothing with `error` = "CryptProtectData failed (<code>)".
std::optional<std::string> sealForUser(std::string_view plain, std::string& error);
// The original bytes, or nothing when the blob was not sealed by this user or was altered.
std::optional<std::string> unsealForUser(std::string_view blob);

}  // namespace vornet
