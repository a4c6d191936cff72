// Portable UTF-8 / UTF-16 transcoding used where the platform has no converter of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vornet::utf {

// Decodes UTF-8 to UTF-16. With `strict`, returns nothing on the first invalid sequence;
// otherwise each maximal invalid subpart becomes U+FFFD.
std::optional<std::u16string> decodeUtf8(std::string_view utf8, bool strict);
// Encodes UTF-16 as UTF-8; unpaired surrogates become U+FFFD.
std::string encodeUtf8(std::u16string_view wide);

}  // namespace vornet::utf
