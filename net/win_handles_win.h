// Owning wrappers for the WinHTTP and CryptoAPI handles of the Windows transport: one type per
// handle kind, move-only, released exactly once.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <utility>

namespace vornet::win {

// Owns one handle of the kind described by Traits (its type, empty value and release call).
template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Handle{}; }

    // Gives up ownership without releasing (for a handle that something else already closed).
    Handle release() { return std::exchange(handle_, Handle{}); }

    void reset(Handle handle = Handle{}) {
        Handle old = std::exchange(handle_, handle);
        if (old != Handle{}) {
            Traits::close(old);
        }
    }

private:
    Handle handle_{};
};

struct WinHttpHandleTraits {
    using Handle = HINTERNET;
    static void close(Handle h) { WinHttpCloseHandle(h); }
};
struct CertStoreTraits {
    using Handle = HCERTSTORE;
    static void close(Handle h) { CertCloseStore(h, 0); }
};
struct CertContextTraits {
    using Handle = PCCERT_CONTEXT;
    static void close(Handle h) { CertFreeCertificateContext(h); }
};
struct CertChainTraits {
    using Handle = PCCERT_CHAIN_CONTEXT;
    static void close(Handle h) { CertFreeCertificateChain(h); }
};

// Session, connection, request and WebSocket handles.
using WinHttpHandle = UniqueHandle<WinHttpHandleTraits>;
using CertStore = UniqueHandle<CertStoreTraits>;
using CertContext = UniqueHandle<CertContextTraits>;
using CertChain = UniqueHandle<CertChainTraits>;

}  // namespace vornet::win
