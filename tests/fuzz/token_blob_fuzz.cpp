// Sealed token blobs are read from a file another program could have written: any byte
// string must be refused cleanly, and no blob other than one this user sealed may open.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <stdlib.h>
#include <unistd.h>

#include "collector/token_seal.h"

namespace {

std::string sealed;  // one genuine blob: the seed every mutation starts from

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private token folder for this run, so the user's own key is never touched.
    std::string folder = (std::filesystem::temp_directory_path() / "parlow-blob-fuzz-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) std::abort();
    ::setenv("LOCALAPPDATA", folder.c_str(), 1);
    std::string error;
    std::optional<std::string> blob = vornet::sealForUser("fuzz-token", error);
    if (!blob) std::abort();
    sealed = *blob;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // Half of the inputs are mutations of the genuine blob (its header kept), the rest raw.
    std::string blob(input);
    if (size > 0 && (data[0] & 1) != 0) {
        blob = sealed;
        for (std::size_t i = 1; i < size; ++i) blob[(data[i] * 7u + i) % blob.size()] ^= static_cast<char>(data[i] | 1);
    }
    std::optional<std::string> plain = vornet::unsealForUser(blob);
    if (plain && (blob != sealed || *plain != "fuzz-token")) std::abort();
    return 0;
}
