#include "sim/common/certs.h"

#include "sim/common/signature_length.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace vornet::sim {
namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

std::string opensslError(const char* what) {
    std::string text = what;
    unsigned long code = ERR_get_error();
    if (code != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        text += ": ";
        text += buf;
    }
    ERR_clear_error();
    return text;
}

PkeyPtr makeKey() {
    // P-256 keys take microseconds to make; RSA would slow every simulator start.
    return PkeyPtr(EVP_EC_gen("P-256"));
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

X509Ptr makeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey, bool isCa) {
    X509Ptr cert(X509_new());
    if (!cert) return nullptr;
    X509_set_version(cert.get(), 2);
    BnPtr serial(BN_new());
    if (!serial || BN_rand(serial.get(), 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
        return nullptr;
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Parlow test"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                               -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    bool ok = true;
    if (isCa) {
        ok = addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
             addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
             addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        ok = addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
             addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
             addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
             addExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1") &&
             addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (!ok) return nullptr;
    // ECDSA signing is randomised: signing again gives another signature of the same content.
    for (int attempt = 0;; ++attempt) {
        if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0) return nullptr;
        if (fullLengthSignature(cert.get()) || attempt == 64) break;
    }
    return cert;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string certPem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
    return bioText(bio.get());
}

std::string keyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
    return bioText(bio.get());
}

}  // namespace

bool makeTestCertificates(const std::string& rootName, TestCertificates& out, std::string& error) {
    PkeyPtr rootKey = makeKey();
    PkeyPtr leafKey = makeKey();
    if (!rootKey || !leafKey) {
        error = opensslError("cannot make a key");
        return false;
    }
    X509Ptr root = makeCertificate(rootKey.get(), rootName, nullptr, nullptr, true);
    if (!root) {
        error = opensslError("cannot make the root certificate");
        return false;
    }
    X509Ptr leaf = makeCertificate(leafKey.get(), "127.0.0.1", root.get(), rootKey.get(), false);
    if (!leaf) {
        error = opensslError("cannot make the server certificate");
        return false;
    }
    out.rootPem = certPem(root.get());
    out.leafPem = certPem(leaf.get());
    out.leafKeyPem = keyPem(leafKey.get());
    if (out.rootPem.empty() || out.leafPem.empty() || out.leafKeyPem.empty()) {
        error = opensslError("cannot write PEM");
        return false;
    }
    return true;
}

}  // namespace vornet::sim
