#include "net/openssl_chain_posix.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "net/http_policy.h"

namespace vornet {
namespace {

// True when the first folder of a colon-separated list holds a name the hashed lookup finds:
// eight hexadecimal digits, a dot and a number ("5ad8a5d6.0").
bool holdsHashedNames(const char* folders) {
    const char* end = std::strchr(folders, ':');
    const std::string first = end != nullptr ? std::string(folders, end) : std::string(folders);
    DIR* dir = ::opendir(first.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strlen(name) >= 10 && std::strspn(name, "0123456789abcdef") == 8 && name[8] == '.' &&
            std::strspn(name + 9, "0123456789") == std::strlen(name + 9)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

std::string derOf(X509* cert) {
    int length = i2d_X509(cert, nullptr);
    if (length <= 0) return {};
    std::string der(static_cast<std::size_t>(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(cert, &out);
    return der;
}

// Verification errors seen while building one chain; the callback keeps going after each so
// that the whole chain is built and every condition is known.
thread_local std::vector<int>* tlsChainErrors = nullptr;

int recordChainError(int ok, X509_STORE_CTX* ctx) {
    if (!ok && tlsChainErrors) tlsChainErrors->push_back(X509_STORE_CTX_get_error(ctx));
    return 1;
}

}  // namespace

// The pinned-root check on the certificates the server presented.
PinCheck checkPinnedRoot(SSL* ssl, const HttpRequest& request) {
    PinCheck check;
    check.checked = true;
    X509* leaf = SSL_get0_peer_certificate(ssl);
    if (!leaf) {
        check.rejected = true;
        check.reason = kReasonNoCertificate;
        return check;
    }
    UniqueX509Store store(X509_STORE_new());
    if (!store) {
        check.rejected = true;
        check.reason = kReasonNoStore;
        return check;
    }
    for (const std::string& root : request.pinnedRoots) {
        const auto* in = reinterpret_cast<const unsigned char*>(root.data());
        UniqueX509 cert(d2i_X509(nullptr, &in, static_cast<long>(root.size())));
        if (cert) X509_STORE_add_cert(store.get(), cert.get());
    }
    ChainFacts facts;
    UniqueX509StoreCtx ctx(X509_STORE_CTX_new());
    if (ctx && X509_STORE_CTX_init(ctx.get(), store.get(), leaf, SSL_get_peer_cert_chain(ssl)) == 1) {
        X509_STORE_CTX_set_verify_cb(ctx.get(), recordChainError);
        std::vector<int> errors;
        tlsChainErrors = &errors;
        X509_verify_cert(ctx.get());
        tlsChainErrors = nullptr;
        STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
        if (chain && sk_X509_num(chain) > 0) {
            facts.built = true;
            facts.top = derOf(sk_X509_value(chain, sk_X509_num(chain) - 1));
        }
        for (int error : errors) {
            switch (error) {
                // An issuer outside any trust store, and unknown revocation, are expected here:
                // whether the chain ends in a pinned root is decided by the byte comparison.
                case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
                case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
                case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
                case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
                case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
                case X509_V_ERR_CERT_UNTRUSTED:
                case X509_V_ERR_UNABLE_TO_GET_CRL:
                    break;
                case X509_V_ERR_CERT_NOT_YET_VALID:
                case X509_V_ERR_CERT_HAS_EXPIRED:
                case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
                case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
                    facts.timeInvalid = true;
                    break;
                default:
                    // The OpenSSL verification code of the first other condition.
                    if (facts.otherErrors == 0) facts.otherErrors = static_cast<std::uint64_t>(error);
            }
        }
    }
    if (auto reason = judgeChain(facts, request)) {
        check.rejected = true;
        check.reason = std::move(*reason);
    }
    return check;
}

void useSystemTrust(SSL_CTX* context) {
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    const bool fileNamed = file != nullptr && *file != '\0';
    const char* folders = dir != nullptr && *dir != '\0' ? dir : X509_get_default_cert_dir();
    if (fileNamed) SSL_CTX_load_verify_file(context, file);
    SSL_CTX_load_verify_dir(context, folders);
    if (!fileNamed && !holdsHashedNames(folders)) SSL_CTX_load_verify_file(context, X509_get_default_cert_file());
    ERR_clear_error();
}

bool hostNameMatches(SSL* ssl, const std::string& host, bool ipLiteral) {
    X509* leaf = SSL_get0_peer_certificate(ssl);
    if (!leaf) return false;
    if (ipLiteral) return X509_check_ip_asc(leaf, host.c_str(), 0) == 1;
    return X509_check_host(leaf, host.data(), host.size(), 0, nullptr) == 1;
}

}  // namespace vornet
