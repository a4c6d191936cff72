#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/loopback_sockets.h"

namespace vornet::testing {
namespace sockets {

Handle listenLoopback(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalid;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return kInvalid;
    }
    port = ntohs(address.sin_port);
    return fd;
}

Handle acceptOne(Handle listener) {
    for (;;) {
        const int fd = ::accept(static_cast<int>(listener), nullptr, nullptr);
        if (fd >= 0) return fd;
        if (errno != EINTR) return kInvalid;
    }
}

Handle connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalid;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return kInvalid;
    }
    return fd;
}

bool receiveSome(Handle socket, std::string& out) {
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(socket), buffer, sizeof buffer, 0);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

bool sendAll(Handle socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(static_cast<int>(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void closeSocket(Handle socket) {
    if (socket != kInvalid) ::close(static_cast<int>(socket));
}

}  // namespace sockets

}  // namespace vornet::testing
