// One UDP output's socket. A failed send is never fatal: a simulator that is
// not running yet, or restarts, refuses datagrams for a while, and the next
// datagram carries newer values anyway. Failures are counted, and the first
// one is returned as a message so that the user hears of it once.
//
// The count is of failed sends, not of lost datagrams: a closed port is
// reported by the system one send late, after which the next send goes out
// (and is lost) again, so against a closed port about every other send fails.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "udp_endpoint.h"
#include "udp_socket.h"

namespace vandry_bridge {

class UdpSender {
public:
    UdpSender() = default;
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;
    UdpSender(UdpSender&& other) noexcept { *this = std::move(other); }
    UdpSender& operator=(UdpSender&& other) noexcept;
    ~UdpSender() { udp_socket::close(socket_); }

    // false when the system refuses the socket; `error` names the endpoint.
    bool open(const UdpEndpoint& endpoint, std::string& error);

    // A message the first time a send fails, nothing otherwise.
    std::optional<std::string> send(std::span<const std::uint8_t> datagram);

    std::uint64_t sent() const { return sent_; }
    std::uint64_t failed() const { return failed_; }
    // "" when nothing failed; otherwise how many failed, and the first reason.
    std::string failures() const;
    const std::string& name() const { return name_; }

private:
    udp_socket::Handle socket_ = udp_socket::kNone;
    std::string name_ = "UDP output";  // then "UDP output HOST:PORT"
    std::uint64_t sent_ = 0;
    std::uint64_t failed_ = 0;
    std::string first_failure_;
};

}  // namespace vandry_bridge
