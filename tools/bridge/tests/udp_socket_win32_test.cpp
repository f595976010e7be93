// The Winsock side of the UDP outputs, through the sender the monitor uses,
// against sockets the test owns on 127.0.0.1 and ::1 only (run under Wine).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "udp_endpoint.h"
#include "udp_sender.h"

namespace vandry_bridge {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kDeadlineMs = 10000;

struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

// A UDP socket bound to a loopback address, reading with a deadline.
class Receiver {
public:
    explicit Receiver(int family) : socket_(::socket(family, SOCK_DGRAM, IPPROTO_UDP)) {
        sockaddr_storage address{};
        int size = 0;
        if (family == AF_INET) {
            auto& in = reinterpret_cast<sockaddr_in&>(address);
            in.sin_family = AF_INET;
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            size = sizeof in;
        } else {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = in6addr_loopback;
            size = sizeof in6;
        }
        bound_ = ::bind(socket_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                 ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) == 0;
        port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                        : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
    }
    ~Receiver() { close(); }

    void close() {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
    bool bound() const { return bound_; }
    std::uint16_t port() const { return port_; }

    // The next datagram, or nothing at the deadline.
    Bytes receive() {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval wait{kDeadlineMs / 1000, 0};
        if (::select(0, &readable, nullptr, nullptr, &wait) != 1) return {};
        char buffer[2048];
        const int n = ::recv(socket_, buffer, sizeof buffer, 0);
        return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
    }

private:
    SOCKET socket_;
    bool bound_ = false;
    std::uint16_t port_ = 0;
};

UdpSender open_sender(const std::string& text) {
    std::string error;
    const auto endpoint = parse_udp_endpoint(text, error);
    EXPECT_TRUE(endpoint) << error;
    UdpSender sender;
    EXPECT_TRUE(endpoint && sender.open(*endpoint, error)) << error;
    return sender;
}

TEST(UdpSocketWin32, DatagramsArriveWholeAndInOrderOnBothFamilies) {
    Winsock winsock;
    struct Case {
        int family;
        const char* host;
    };
    for (const Case& c : {Case{AF_INET, "127.0.0.1"}, Case{AF_INET, "localhost"}, Case{AF_INET6, "[::1]"}}) {
        SCOPED_TRACE(c.host);
        Receiver receiver(c.family);
        ASSERT_TRUE(receiver.bound());
        UdpSender sender = open_sender(std::string(c.host) + ":" + std::to_string(receiver.port()));
        const std::vector<Bytes> datagrams{{0x42}, Bytes(40, 0xA5), Bytes(512, 0x00)};
        for (const Bytes& d : datagrams) EXPECT_FALSE(sender.send(d)) << "a send failed";
        for (const Bytes& d : datagrams) EXPECT_EQ(receiver.receive(), d);
        EXPECT_EQ(sender.sent(), datagrams.size());
        EXPECT_EQ(sender.failures(), "");
    }
}

// A closed port is reported, once, and sending goes on: the peer may start later.
TEST(UdpSocketWin32, AClosedPortIsCountedNotFatal) {
    Winsock winsock;
    Receiver gone(AF_INET);
    ASSERT_TRUE(gone.bound());
    const std::uint16_t port = gone.port();
    gone.close();
    UdpSender sender = open_sender("127.0.0.1:" + std::to_string(port));
    std::optional<std::string> first;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (sender.failed() == 0 && std::chrono::steady_clock::now() < until) {
        if (auto said = sender.send(Bytes(16, 1))) first = said;
        Sleep(10);  // for the refusal to come back
    }
    ASSERT_GT(sender.failed(), 0u) << "a closed port is never reported";
    ASSERT_TRUE(first);
    EXPECT_NE(first->find("UDP output 127.0.0.1:" + std::to_string(port) + ": cannot send ("), std::string::npos) << *first;
    for (int k = 0; k < 5; ++k) EXPECT_FALSE(sender.send(Bytes(16, 1))) << "said once only";
    EXPECT_NE(sender.failures().find("sends failed"), std::string::npos);
}

TEST(UdpSocketWin32, SendingWithoutAnOpenSocketFailsCleanly) {
    UdpSender sender;
    const auto said = sender.send(Bytes(4, 0));
    ASSERT_TRUE(said);
    EXPECT_NE(said->find("not open"), std::string::npos);
}

}  // namespace
}  // namespace vandry_bridge
