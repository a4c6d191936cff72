// Certificates signed for tests that wine must accept.
#pragma once

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/x509.h>

namespace vornet::sim {

// True when both halves of the certificate's ECDSA signature take their full 32 bytes. Wine's
// chain engine now and then refuses a valid P-256 signature whose r or s is shorter (a
// leading zero byte, about one signature in a hundred); Windows accepts both.
inline bool fullLengthSignature(const X509* cert) {
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, cert);
    if (signature == nullptr) return false;
    const unsigned char* bytes = signature->data;
    ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &bytes, signature->length);
    if (parsed == nullptr) return true;  // not an ECDSA signature: nothing to even out
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(parsed, &r, &s);
    const bool full = BN_num_bytes(r) == 32 && BN_num_bytes(s) == 32;
    ECDSA_SIG_free(parsed);
    return full;
}

}  // namespace vornet::sim
