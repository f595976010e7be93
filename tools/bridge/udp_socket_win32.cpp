// The UDP outputs' sockets on Windows, through Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "udp_address.h"
#include "udp_socket.h"

namespace vandry_bridge::udp_socket {

namespace {

std::string message(int code) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) --length;
    return length == 0 ? "Winsock error " + std::to_string(code) : std::string(text, length);
}

// Winsock is started once, on first use, and stays up for the process.
bool winsock_ready(std::string& error) {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) error = "cannot start Winsock: " + message(started);
    return started == 0;
}

// Non-blocking, like the POSIX side, and not inherited by child processes.
bool set_flags(SOCKET s) {
    u_long non_blocking = 1;
    constexpr auto kNonBlocking = static_cast<long>(static_cast<unsigned long>(FIONBIO));  // the header's macro is unsigned
    return ioctlsocket(s, kNonBlocking, &non_blocking) == 0 &&
           SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0) != 0;
}

}  // namespace

Handle open(const UdpEndpoint& endpoint, std::string& error) {
    if (!winsock_ready(error)) return kNone;
    sockaddr_storage address;
    const auto size = static_cast<int>(fill_address(endpoint, address));
    const SOCKET s = ::socket(address.ss_family, SOCK_DGRAM, IPPROTO_UDP);
    if (s != INVALID_SOCKET && set_flags(s) && ::connect(s, reinterpret_cast<const sockaddr*>(&address), size) == 0)
        return static_cast<Handle>(s);
    const int code = WSAGetLastError();
    error = message(code);
    if (s != INVALID_SOCKET && code == WSAEACCES) error += kRefusedConnectHint;
    if (s != INVALID_SOCKET) ::closesocket(s);
    return kNone;
}

// A closed port comes back as WSAECONNRESET on a later send, as ECONNREFUSED
// does on Linux.
bool send(Handle socket, std::span<const std::uint8_t> datagram, std::string& error) {
    const int sent = ::send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(datagram.data()),
                            static_cast<int>(datagram.size()), 0);
    if (sent >= 0 && static_cast<std::size_t>(sent) == datagram.size()) return true;
    if (sent >= 0) {
        error = "the system sent only part of the datagram";
        return false;
    }
    const int code = WSAGetLastError();
    error = code == WSAEWOULDBLOCK ? "the send buffer is full" : message(code);
    return false;
}

void close(Handle socket) {
    if (socket != kNone) ::closesocket(static_cast<SOCKET>(socket));
}

}  // namespace vandry_bridge::udp_socket
