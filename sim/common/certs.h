// Test certificate authority for the simulators: a root made at start-up and a leaf for the
// loopback names, both in PEM, so a collector can pin the root exactly as it pins the game
// vendor's.
#pragma once

#include <string>

namespace vornet::sim {

struct TestCertificates {
    std::string rootPem;     // self-signed CA certificate
    std::string leafPem;     // server certificate issued by the root
    std::string leafKeyPem;  // private key of the leaf (PKCS#8)
};

// Makes a fresh root (common name `rootName`) and a leaf for DNS:localhost, DNS:127.0.0.1 and
// IP:127.0.0.1 (the DNS form of the address is there because some TLS stacks match names
// against DNS entries only). False with `error` set when OpenSSL fails.
bool makeTestCertificates(const std::string& rootName, TestCertificates& out, std::string& error);

}  // namespace vornet::sim
