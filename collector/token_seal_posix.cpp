// Away from Windows the token is sealed with AES-256-GCM under a random per-user key kept in
// a 0600 file beside the token files. The label and the blob header are authenticated data,
// so a blob made for another purpose, or altered, does not open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "collector/token_seal.h"
#include "core/files.h"
#include "core/text.h"

namespace vornet {
namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::string_view kMagic = "VNS1";
constexpr const char* kKeyFileName = "collector.key";

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// Closes a file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Overwrites a key held in memory when it goes out of scope.
struct Key {
    unsigned char bytes[kKeySize] = {};
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

// The token folder, made owner-only (created so, or closed). 0 when it is a real folder of
// this user; otherwise an errno value. A folder another user owns (or a link in its place) is
// refused: its owner could swap the key or the token files.
int checkTokenFolder(const std::string& folder, bool create) {
    if (folder.empty()) {
        return ENOENT;
    }
    if (create) {
        std::error_code ignored;
        const std::filesystem::path parent = std::filesystem::path(folder).parent_path();
        if (!parent.empty()) {
            std::filesystem::create_directories(parent, ignored);
        }
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            return errno;
        }
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        return errno;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        return EPERM;
    }
    // A folder of ours that others may enter (made by an earlier version, or by hand) is
    // closed rather than refused, so an existing token stays usable.
    if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        return errno;
    }
    return 0;
}

std::string keyFilePath() { return joinPath(tokenFolder(), kKeyFileName); }

// Reads the key; refuses a file another user owns or could read, since anyone who reads it
// can open every token.
bool readKey(const std::string& path, Key& key) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0 || info.st_size != static_cast<off_t>(kKeySize)) {
        return false;
    }
    std::size_t got = 0;
    while (got < kKeySize) {
        const ssize_t n = ::read(fd.get(), key.bytes + got, kKeySize - got);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// Creates the key file once (O_EXCL, so two processes never both write one); a file that
// already exists wins. Returns 0 or an errno value.
int loadOrCreateKey(Key& key) {
    if (const int folderError = checkTokenFolder(tokenFolder(), true); folderError != 0) {
        return folderError;
    }
    const std::string path = keyFilePath();
    if (readKey(path, key)) {
        return 0;
    }
    if (!systemRandomBytes(key.bytes, kKeySize)) {
        return EIO;
    }
    const std::string staging = path + "." + randomHex(8) + ".new";
    {
        FileDescriptor fd(::open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd.get() < 0) {
            return errno;
        }
        std::size_t put = 0;
        while (put < kKeySize) {
            const ssize_t n = ::write(fd.get(), key.bytes + put, kKeySize - put);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                const int failure = n < 0 ? errno : EIO;
                ::unlink(staging.c_str());
                return failure;
            }
            put += static_cast<std::size_t>(n);
        }
        if (::fsync(fd.get()) != 0) {
            const int failure = errno;
            ::unlink(staging.c_str());
            return failure;
        }
    }
    // link() fails with EEXIST when another process published its key first: use that one,
    // so tokens sealed by either process stay readable.
    const int linked = ::link(staging.c_str(), path.c_str());
    const int linkError = linked == 0 ? 0 : errno;
    ::unlink(staging.c_str());
    if (linked == 0) {
        return 0;
    }
    if (linkError == EEXIST && readKey(path, key)) {
        return 0;
    }
    return linkError == 0 ? EIO : linkError;
}

std::string additionalData(std::string_view header) {
    std::string aad(kTokenSealLabel);
    aad.append(header);
    return aad;
}

}  // namespace

std::optional<std::string> sealForUser(std::string_view plain, std::string& error) {
    const auto fail = [&error](unsigned long code) -> std::optional<std::string> {
        error = "CryptProtectData failed (" + std::to_string(code) + ")";
        return std::nullopt;
    };
    Key key;
    if (const int failure = loadOrCreateKey(key); failure != 0) {
        return fail(static_cast<unsigned long>(failure));
    }
    // Blob: magic, description length, description, nonce, ciphertext, tag.
    std::string blob(kMagic);
    blob.push_back(static_cast<char>(kTokenSealDescription.size()));
    blob.append(kTokenSealDescription);
    const std::size_t headerSize = blob.size();
    unsigned char nonce[kNonceSize];
    if (!systemRandomBytes(nonce, kNonceSize)) {
        return fail(EIO);
    }
    blob.append(reinterpret_cast<const char*>(nonce), kNonceSize);
    const std::string aad = additionalData(std::string_view(blob).substr(0, headerSize));

    CipherContext context(EVP_CIPHER_CTX_new());
    int length = 0;
    std::string cipher(plain.size() + kTagSize, '\0');
    auto* out = reinterpret_cast<unsigned char*>(cipher.data());
    if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) != 1 ||
        EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.bytes, nonce) != 1 ||
        EVP_EncryptUpdate(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(aad.data()),
                          static_cast<int>(aad.size())) != 1 ||
        EVP_EncryptUpdate(context.get(), out, &length, reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) != 1) {
        return fail(EIO);
    }
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(context.get(), out + length, &finalLength) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, out + plain.size()) != 1) {
        return fail(EIO);
    }
    blob.append(cipher);
    return blob;
}

std::optional<std::string> unsealForUser(std::string_view blob) {
    if (blob.size() < kMagic.size() + 1 || blob.substr(0, kMagic.size()) != kMagic) {
        return std::nullopt;
    }
    const std::size_t headerSize = kMagic.size() + 1 + static_cast<unsigned char>(blob[kMagic.size()]);
    if (blob.size() < headerSize + kNonceSize + kTagSize) {
        return std::nullopt;
    }
    Key key;
    if (checkTokenFolder(tokenFolder(), false) != 0 || !readKey(keyFilePath(), key)) {
        return std::nullopt;
    }
    const std::string aad = additionalData(blob.substr(0, headerSize));
    const auto* nonce = reinterpret_cast<const unsigned char*>(blob.data() + headerSize);
    const std::string_view cipher = blob.substr(headerSize + kNonceSize, blob.size() - headerSize - kNonceSize - kTagSize);
    std::string tag(blob.substr(blob.size() - kTagSize));

    CipherContext context(EVP_CIPHER_CTX_new());
    std::string plain(cipher.size(), '\0');
    int length = 0;
    if (!context || EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) != 1 ||
        EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key.bytes, nonce) != 1 ||
        EVP_DecryptUpdate(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(aad.data()),
                          static_cast<int>(aad.size())) != 1 ||
        EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &length,
                          reinterpret_cast<const unsigned char*>(cipher.data()), static_cast<int>(cipher.size())) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) != 1) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return std::nullopt;
    }
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(context.get(), reinterpret_cast<unsigned char*>(plain.data()) + length, &finalLength) !=
        1) {
        // Authentication failed: the partial output is not the token and must not linger.
        OPENSSL_cleanse(plain.data(), plain.size());
        return std::nullopt;
    }
    return plain;
}

}  // namespace vornet
