// The sender against sockets the test owns, on 127.0.0.1 and ::1 only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "udp_output.h"

namespace vandry_bridge {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(10);

// A UDP socket bound to a loopback address, reading with a deadline.
class Receiver {
public:
    explicit Receiver(int family, std::uint16_t port = 0) : family_(family) {
        union {
            sockaddr any;
            sockaddr_in v4;
            sockaddr_in6 v6;
        } address{};
        if (family == AF_INET) {
            address.v4.sin_family = AF_INET;
            address.v4.sin_port = htons(port);
            address.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        } else {
            address.v6.sin6_family = AF_INET6;
            address.v6.sin6_port = htons(port);
            address.v6.sin6_addr = in6addr_loopback;
        }
        socklen_t size = family == AF_INET ? sizeof address.v4 : sizeof address.v6;
        fd_ = socket(family, SOCK_DGRAM, 0);
        if (fd_ >= 0 && bind(fd_, &address.any, size) == 0 && getsockname(fd_, &address.any, &size) == 0) {
            port_ = ntohs(family == AF_INET ? address.v4.sin_port : address.v6.sin6_port);
        } else {
            error_ = errno;
        }
    }
    ~Receiver() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    std::uint16_t port() const { return port_; }  // 0 when the socket could not be bound
    int error() const { return error_; }           // then why
    std::string endpoint() const { return (family_ == AF_INET ? "127.0.0.1:" : "[::1]:") + std::to_string(port_); }

    std::optional<Bytes> receive(std::chrono::milliseconds wait = kDeadline) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
        Bytes bytes(70000);
        const ssize_t size = recv(fd_, bytes.data(), bytes.size(), 0);
        if (size < 0) return std::nullopt;
        bytes.resize(static_cast<std::size_t>(size));
        return bytes;
    }

private:
    int family_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    int error_ = 0;
};

UdpEndpoint endpoint_of(const std::string& text) {
    std::string error;
    auto endpoint = parse_udp_endpoint(text, error);
    EXPECT_TRUE(endpoint) << error;
    return endpoint.value_or(UdpEndpoint{});
}

Bytes le16(std::initializer_list<unsigned> values) {
    Bytes bytes;
    for (const unsigned value : values) {
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    return bytes;
}

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class Loopback : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (receiver_.port() != 0) return;
        const int error = receiver_.error();
        const bool no_ipv6 = GetParam() == AF_INET6 && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL);
        if (no_ipv6) GTEST_SKIP() << "this machine has no IPv6 loopback: " << std::strerror(error);
        FAIL() << "cannot bind a UDP socket on the loopback: " << std::strerror(error);
    }
    Receiver receiver_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Family, Loopback, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& family) { return family.param == AF_INET ? "ipv4" : "ipv6"; });

TEST_P(Loopback, EachFormatArrivesAsPacked) {
    // Channel k is 120 k: output k is 1000 + 100 k, capped at 2000; output 16
    // has no channel and holds the centre.
    channel_values channels{};
    for (std::uint16_t k = 0; k < 15; ++k) channels.channel[k] = static_cast<std::uint16_t>(120 * k);
    const Bytes pulses = le16({1000, 1100, 1200, 1300, 1400, 1500, 1600, 1700, 1800, 1900, 2000, 2000, 2000, 2000,
                               2000, 1500});
    const Bytes first8(pulses.begin(), pulses.begin() + 16);
    Bytes betaflight = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x40};  // 2.5
    betaflight.insert(betaflight.end(), pulses.begin(), pulses.end());
    const std::string line = R"({"update":7,"channels":[0,120]})";
    const struct {
        UdpFormat format;
        Bytes want;
    } cases[] = {
        {UdpFormat::betaflight, betaflight},
        {UdpFormat::ardupilot, pulses},
        {UdpFormat::ardupilot8, first8},
        {UdpFormat::json, text_bytes(line + "\n")},
    };
    for (const auto& c : cases) {
        UdpOutput output(c.format, ChannelMap::identity(SourceRecord::channels, kPulseRange));
        std::string error;
        ASSERT_TRUE(output.open(endpoint_of(receiver_.endpoint()), error)) << error;
        EXPECT_EQ(output.publish({&channels, nullptr}, 2.5, line), std::nullopt);
        const auto got = receiver_.receive();
        ASSERT_TRUE(got) << udp_format_name(c.format) << ": nothing arrived";
        EXPECT_EQ(*got, c.want) << udp_format_name(c.format);
        EXPECT_EQ(output.sender().sent(), 1u);
    }
}

TEST_P(Loopback, LocalhostReachesTheLoopbackOfItsFamily) {
    const std::string name = GetParam() == AF_INET ? "localhost:" : "[localhost]:";
    UdpSender sender;
    std::string error;
    ASSERT_TRUE(sender.open(endpoint_of(name + std::to_string(receiver_.port())), error)) << error;
    const Bytes datagram = {1, 2, 3};
    EXPECT_EQ(sender.send(datagram), std::nullopt);
    EXPECT_EQ(receiver_.receive(), datagram);
}

// Sends until `done` holds or the deadline passes; counts the messages.
template <typename Done>
std::size_t send_until(UdpSender& sender, const Bytes& datagram, Done done, std::string& first_message) {
    std::size_t messages = 0;
    for (const auto end = Clock::now() + kDeadline; !done() && Clock::now() < end;) {
        if (auto message = sender.send(datagram)) {
            if (messages++ == 0) first_message = *message;
        }
        std::this_thread::yield();
    }
    return messages;
}

TEST_P(Loopback, AClosedPortIsCountedReportedOnceAndNeverFatal) {
    const std::uint16_t port = receiver_.port();
    const std::string text = receiver_.endpoint();
    receiver_.close();
    UdpSender sender;
    std::string error;
    ASSERT_TRUE(sender.open(endpoint_of(text), error)) << error;
    const Bytes datagram = {0xE8, 0x03};
    std::string message;
    EXPECT_EQ(send_until(sender, datagram, [&] { return sender.failed() >= 3; }, message), 1u);
    ASSERT_GE(sender.failed(), 3u) << "no refusal within the deadline";
    EXPECT_EQ(message, "UDP output " + text +
                           ": cannot send (Connection refused); sending goes on, further failures are counted");

    Receiver again(GetParam(), port);  // the peer comes back on the same port
    ASSERT_EQ(again.port(), port);
    std::optional<Bytes> got;
    EXPECT_EQ(send_until(sender, datagram, [&] { return (got = again.receive(std::chrono::milliseconds(0))).has_value(); },
                         message),
              0u);
    EXPECT_EQ(got, datagram);
    const std::string summary = sender.failures();
    EXPECT_NE(summary.find(std::to_string(sender.failed()) + " of " + std::to_string(sender.failed() + sender.sent())),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("(first: Connection refused)"), std::string::npos) << summary;
}

TEST_P(Loopback, AnOversizedDatagramFailsAloneAndTheNextArrives) {
    UdpSender sender;
    std::string error;
    ASSERT_TRUE(sender.open(endpoint_of(receiver_.endpoint()), error)) << error;
    const auto message = sender.send(Bytes(70000, '{'));
    ASSERT_TRUE(message);
    EXPECT_NE(message->find("Message too long"), std::string::npos) << *message;
    EXPECT_EQ(sender.send(Bytes(70000, '{')), std::nullopt) << "reported once";
    EXPECT_EQ(sender.failed(), 2u);
    EXPECT_EQ(sender.send(Bytes{42}), std::nullopt);
    EXPECT_EQ(receiver_.receive(), Bytes{42});
}

TEST_P(Loopback, HoldsBackWhileTheMapsRecordIsMissing) {
    ChannelMapParser parser(kPulseRange);
    std::string error;
    ASSERT_TRUE(parser.add_line("1=bank0.1:rev", "test", error)) << error;
    UdpOutput output(UdpFormat::ardupilot8, parser.map());
    ASSERT_TRUE(output.open(endpoint_of(receiver_.endpoint()), error)) << error;
    channel_values channels{};
    const auto message = output.publish({&channels, nullptr}, 0, "");
    ASSERT_TRUE(message);
    EXPECT_NE(message->find("until the device sends its banks"), std::string::npos) << *message;
    EXPECT_EQ(output.publish({&channels, nullptr}, 0, ""), std::nullopt) << "reported once";
    EXPECT_EQ(output.held_back(), 2u);
    EXPECT_EQ(output.sender().sent(), 0u);

    channel_banks banks{};
    EXPECT_EQ(output.publish({&channels, &banks}, 0, ""), std::nullopt);
    EXPECT_EQ(receiver_.receive(), le16({2000, 1500, 1500, 1500, 1500, 1500, 1500, 1500}));
}

TEST(UdpSender, OpenAndSendFailuresNameTheOutput) {
    UdpSender sender;
    std::string error;
    // Linux refuses to connect a socket to a broadcast address unless it
    // was allowed to broadcast; nothing is sent, and the user hears why.
    for (const char* const broadcast : {"255.255.255.255:9", "127.255.255.255:9"}) {
        EXPECT_FALSE(sender.open(endpoint_of(broadcast), error));
        EXPECT_EQ(error, "UDP output " + std::string(broadcast) +
                             ": cannot open: Permission denied (is it a broadcast address? A UDP output goes to one "
                             "host only)");
    }
    EXPECT_EQ(sender.send(Bytes{1}), "UDP output: cannot send (not open); sending goes on, further failures are counted");
    EXPECT_EQ(sender.failed(), 1u);
}

}  // namespace
}  // namespace vandry_bridge
