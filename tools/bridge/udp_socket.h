// The operating system's part of a UDP output, kept this small so that each
// system has one file of its own (udp_socket_posix.cpp; a Winsock file can
// sit beside it).
//
// A socket is non-blocking, so that a full send buffer drops a datagram
// instead of stalling the monitor, and connected to its endpoint, so that the
// system reports a closed port (an ICMP port unreachable) as an error on a
// later send instead of keeping quiet.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "udp_endpoint.h"

namespace vandry_bridge::udp_socket {

using Handle = std::intptr_t;
inline constexpr Handle kNone = -1;

// What a refused connect most often means: the system refuses a broadcast
// address to a socket not allowed to broadcast, and "Permission denied"
// alone sends the user after privileges that would not help.
inline constexpr std::string_view kRefusedConnectHint =
    " (is it a broadcast address? A UDP output goes to one host only)";

// kNone on failure, with the system's reason in `error`.
Handle open(const UdpEndpoint& endpoint, std::string& error);
// false when the datagram did not go out, with the system's reason in `error`.
bool send(Handle socket, std::span<const std::uint8_t> datagram, std::string& error);
void close(Handle socket);

}  // namespace vandry_bridge::udp_socket
