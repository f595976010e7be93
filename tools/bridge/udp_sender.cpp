#include "udp_sender.h"

#include <utility>

namespace vandry_bridge {

UdpSender& UdpSender::operator=(UdpSender&& other) noexcept {
    if (this != &other) {
        udp_socket::close(socket_);
        socket_ = std::exchange(other.socket_, udp_socket::kNone);
        name_ = std::move(other.name_);
        sent_ = other.sent_;
        failed_ = other.failed_;
        first_failure_ = std::move(other.first_failure_);
    }
    return *this;
}

bool UdpSender::open(const UdpEndpoint& endpoint, std::string& error) {
    std::string reason;
    const udp_socket::Handle socket = udp_socket::open(endpoint, reason);
    if (socket == udp_socket::kNone) {
        error = "UDP output " + endpoint.text + ": cannot open: " + reason;
        return false;
    }
    *this = UdpSender();
    socket_ = socket;
    name_ = "UDP output " + endpoint.text;
    return true;
}

std::optional<std::string> UdpSender::send(std::span<const std::uint8_t> datagram) {
    std::string reason = "not open";
    if (socket_ != udp_socket::kNone && udp_socket::send(socket_, datagram, reason)) {
        ++sent_;
        return std::nullopt;
    }
    if (failed_++ != 0) return std::nullopt;
    first_failure_ = reason;
    return name_ + ": cannot send (" + reason + "); sending goes on, further failures are counted";
}

std::string UdpSender::failures() const {
    if (failed_ == 0) return {};
    return std::to_string(failed_) + " of " + std::to_string(sent_ + failed_) + " sends failed (first: " +
           first_failure_ + ")";
}

}  // namespace vandry_bridge
