#include "core/secret_string.h"

namespace vornet {

void secureWipe(std::string& text) {
    // Through a volatile pointer, so the stores are not dropped as dead writes before the
    // memory is released. Bytes past the size belong to the string too (its capacity).
    text.resize(text.capacity());
    volatile char* bytes = text.data();
    for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
    text.clear();
}

}  // namespace vornet
