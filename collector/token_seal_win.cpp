// DPAPI, user scope: only the same Windows user can open the blob again.
#include <windows.h>
#include <wincrypt.h>
#include <dpapi.h>

#include <string>

#include "collector/token_seal.h"

namespace vornet {
namespace {

// Owns a DATA_BLOB that CryptProtectData/CryptUnprotectData allocated with LocalAlloc.
class LocalBlob {
public:
    LocalBlob() = default;
    LocalBlob(const LocalBlob&) = delete;
    LocalBlob& operator=(const LocalBlob&) = delete;
    ~LocalBlob() {
        if (blob_.pbData != nullptr) {
            if (wipe_) {
                SecureZeroMemory(blob_.pbData, blob_.cbData);
            }
            LocalFree(blob_.pbData);
        }
    }
    DATA_BLOB* out() { return &blob_; }
    // The buffer holds a secret: it is overwritten with zeros before it is released.
    void wipeOnRelease() { wipe_ = true; }
    std::string bytes() const {
        return std::string(reinterpret_cast<const char*>(blob_.pbData), blob_.cbData);
    }

private:
    DATA_BLOB blob_{};
    bool wipe_ = false;
};

DATA_BLOB viewOf(std::string_view bytes) {
    DATA_BLOB blob{};
    blob.cbData = static_cast<DWORD>(bytes.size());
    blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
    return blob;
}

}  // namespace

std::optional<std::string> sealForUser(std::string_view plain, std::string& error) {
    DATA_BLOB in = viewOf(plain);
    DATA_BLOB entropy = viewOf(kTokenSealLabel);
    const std::wstring description(kTokenSealDescription.begin(), kTokenSealDescription.end());
    LocalBlob sealed;
    if (!CryptProtectData(&in, description.c_str(), &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          sealed.out())) {
        error = "CryptProtectData failed (" + std::to_string(static_cast<unsigned long>(GetLastError())) + ")";
        return std::nullopt;
    }
    return sealed.bytes();
}

std::optional<std::string> unsealForUser(std::string_view blob) {
    DATA_BLOB in = viewOf(blob);
    DATA_BLOB entropy = viewOf(kTokenSealLabel);
    LocalBlob plain;
    plain.wipeOnRelease();
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, plain.out())) {
        return std::nullopt;
    }
    return plain.bytes();
}

}  // namespace vornet
