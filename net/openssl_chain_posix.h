// The POSIX half of the certificate judgement, the twin of the CryptoAPI chain check on
// Windows: owning types for the OpenSSL objects it uses, the pinned-root check on the chain a
// server presented, and the host name check on its leaf. The verdict itself (which conditions
// reject, in which order) is the shared judgeChain.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

#include "core/unique_handle.h"
#include "net/http_client.h"

namespace vornet {

struct X509Traits {
    using Handle = X509*;
    static void close(X509* cert) { X509_free(cert); }
};
struct X509StoreTraits {
    using Handle = X509_STORE*;
    static void close(X509_STORE* store) { X509_STORE_free(store); }
};
struct X509StoreCtxTraits {
    using Handle = X509_STORE_CTX*;
    static void close(X509_STORE_CTX* ctx) { X509_STORE_CTX_free(ctx); }
};
using UniqueX509 = UniqueHandle<X509Traits>;
using UniqueX509Store = UniqueHandle<X509StoreTraits>;
using UniqueX509StoreCtx = UniqueHandle<X509StoreCtxTraits>;

struct PinCheck {
    bool checked = false;
    bool rejected = false;
    std::string reason;
};

// The pinned-root check on the certificates the server presented on this connection.
PinCheck checkPinnedRoot(SSL* ssl, const HttpRequest& request);

// Makes the platform's trust store the roots of `context`. The store's hashed folder is looked
// up by subject as chains need an issuer, instead of decoding every root of the bundle (about
// 140 certificates and 1.4 MiB of memory that would stay). The file
// SSL_CERT_FILE names is read whole, as OpenSSL's default does; so is the default bundle when
// the folder holds no hashed names to look up.
void useSystemTrust(SSL_CTX* context);

// True when the server's leaf certificate names `host` (as an IP address SAN when `ipLiteral`).
bool hostNameMatches(SSL* ssl, const std::string& host, bool ipLiteral);

}  // namespace vornet
