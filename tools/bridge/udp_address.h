// An endpoint as a socket address. The socket interfaces of POSIX and
// Winsock name these structures alike; each udp_socket_<system>.cpp includes
// its own system headers before this one.
#pragma once

#include <cstddef>
#include <cstring>

#include "udp_endpoint.h"

namespace vandry_bridge::udp_socket {

// Returns the size of the address written into `storage`.
inline std::size_t fill_address(const UdpEndpoint& endpoint, sockaddr_storage& storage) {
    std::memset(&storage, 0, sizeof storage);
    if (endpoint.family == UdpEndpoint::Family::ipv4) {
        auto& in = reinterpret_cast<sockaddr_in&>(storage);
        in.sin_family = AF_INET;
        in.sin_port = htons(endpoint.port);
        std::memcpy(&in.sin_addr, endpoint.address.data(), 4);
        return sizeof in;
    }
    auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(endpoint.port);
    std::memcpy(&in6.sin6_addr, endpoint.address.data(), 16);
    return sizeof in6;
}

}  // namespace vandry_bridge::udp_socket
