#include <winsock2.h>
// After winsock2.h.
#include <ws2tcpip.h>

#include <mutex>

#include "tests/support/loopback_sockets.h"

namespace vornet::testing {
namespace sockets {
namespace {

// A TCP socket, Winsock started first (once per process).
SOCKET openStream() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
    return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

Handle listenLoopback(std::uint16_t& port) {
    const SOCKET s = openStream();
    if (s == INVALID_SOCKET) return kInvalid;
    sockaddr_in address = loopbackAddress(0);
    int length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s, 16) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::closesocket(s);
        return kInvalid;
    }
    port = ntohs(address.sin_port);
    return static_cast<Handle>(s);
}

Handle acceptOne(Handle listener) {
    const SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kInvalid : static_cast<Handle>(s);
}

Handle connectLoopback(std::uint16_t port) {
    const SOCKET s = openStream();
    if (s == INVALID_SOCKET) return kInvalid;
    sockaddr_in address = loopbackAddress(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(s);
        return kInvalid;
    }
    return static_cast<Handle>(s);
}

bool receiveSome(Handle socket, std::string& out) {
    char buffer[16384];
    const int n = ::recv(static_cast<SOCKET>(socket), buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    out.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool sendAll(Handle socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const int n = ::send(static_cast<SOCKET>(socket), bytes.data(), static_cast<int>(bytes.size()), 0);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void closeSocket(Handle socket) {
    if (socket != kInvalid) ::closesocket(static_cast<SOCKET>(socket));
}

}  // namespace sockets

}  // namespace vornet::testing
