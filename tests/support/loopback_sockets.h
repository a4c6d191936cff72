// The few blocking socket calls the loopback test server needs, per platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vornet::testing::sockets {

using Handle = std::intptr_t;
inline constexpr Handle kInvalid = -1;

// A listening socket on 127.0.0.1 at an ephemeral port, or kInvalid.
Handle listenLoopback(std::uint16_t& port);
// Blocks until a connection arrives; kInvalid on failure.
Handle acceptOne(Handle listener);
// A connection to 127.0.0.1:port (used to wake a blocked accept), or kInvalid.
Handle connectLoopback(std::uint16_t port);
// Appends what arrived; false at the end of the stream or on failure.
bool receiveSome(Handle socket, std::string& out);
bool sendAll(Handle socket, std::string_view bytes);
void closeSocket(Handle socket);

}  // namespace vornet::testing::sockets
