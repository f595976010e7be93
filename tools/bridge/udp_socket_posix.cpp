#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "udp_address.h"
#include "udp_socket.h"

namespace vandry_bridge::udp_socket {

namespace {

// Close-on-exec keeps the socket out of child processes such as the built-in
// device.
bool set_flags(int fd) {
    const int status = fcntl(fd, F_GETFL);
    return status >= 0 && fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

Handle open(const UdpEndpoint& endpoint, std::string& error) {
    sockaddr_storage address;
    const auto size = static_cast<socklen_t>(fill_address(endpoint, address));
    const int fd = ::socket(address.ss_family, SOCK_DGRAM, 0);
    if (fd >= 0 && set_flags(fd) && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) return fd;
    const int code = errno;
    error = std::strerror(code);
    if (fd >= 0 && code == EACCES) error += kRefusedConnectHint;
    if (fd >= 0) ::close(fd);
    return kNone;
}

bool send(Handle socket, std::span<const std::uint8_t> datagram, std::string& error) {
    for (;;) {
        const ssize_t sent = ::send(static_cast<int>(socket), datagram.data(), datagram.size(), 0);
        if (sent >= 0 && static_cast<std::size_t>(sent) == datagram.size()) return true;
        if (sent >= 0) {
            error = "the system sent only part of the datagram";
            return false;
        }
        if (errno == EINTR) continue;
        error = errno == EAGAIN || errno == EWOULDBLOCK ? "the send buffer is full" : std::strerror(errno);
        return false;
    }
}

void close(Handle socket) {
    if (socket != kNone) ::close(static_cast<int>(socket));
}

}  // namespace vandry_bridge::udp_socket
