// The built-in pinned root for the game client's local TLS.
#pragma once

namespace vornet {

// PEM text of one self-signed certificate (1493 characters).
extern const char* const kRiotRootCertificatePem;

}  // namespace vornet
