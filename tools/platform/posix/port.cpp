// The device's serial port and HID device on POSIX systems.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "baud_rates.h"
#include "platform.h"
#include "poll_for.h"
#include "port_claim.h"
#include "stop_signal.h"

namespace vandry_tools {
namespace {

constexpr speed_t kSpeeds[] = {B1200,   B2400,   B4800,   B9600,    B19200,   B38400,   B57600,  B115200,
                               B230400, B460800, B500000, B921600, B1000000, B1500000, B2000000};
static_assert(std::size(kBaudRates) == std::size(kSpeeds));

std::string errno_text(const std::string& what, const std::string& path) {
    std::string text = "cannot " + what + " " + path + ": " + std::strerror(errno);
    if (errno == EACCES) text += " (add yourself to the dialout group, or see contrib/99-vandry.rules)";
    return text;
}

bool means_unplugged(int error) { return error == EIO || error == ENODEV || error == ENXIO; }

}  // namespace

std::span<const unsigned> supported_baud_rates() { return kBaudRates; }

struct Port::State {
    int fd = -1;
    std::string path;
    bool restore = false;
    bool claimed = false;  // another program's claim is never released by us
    termios saved{};
};

Port::Port() : state_(std::make_unique<State>()) {}
Port::~Port() { close(); }

bool Port::is_open() const { return state_->fd >= 0; }

std::string Port::open_serial(const std::string& path, unsigned baud) {
    close();
    speed_t speed = B0;
    for (std::size_t k = 0; k < std::size(kBaudRates); ++k)
        if (kBaudRates[k] == baud) speed = kSpeeds[k];
    if (speed == B0) return "unsupported baud rate " + std::to_string(baud);
    State& s = *state_;
    s.path = path;
    s.fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s.fd < 0) return errno == EBUSY ? port_in_use(path) : errno_text("open", path);
    if (tcgetattr(s.fd, &s.saved) != 0) {
        std::string text = errno == ENOTTY ? path + " is not a serial port" : errno_text("configure", path);
        close();
        return text;
    }
    if (std::string text = claim_port(s.fd, path); !text.empty()) {
        close();
        return text;
    }
    s.claimed = true;
    termios raw = s.saved;
    cfmakeraw(&raw);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    raw.c_cflag |= CLOCAL | CREAD | CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, speed);
    cfsetospeed(&raw, speed);
    if (tcsetattr(s.fd, TCSANOW, &raw) != 0) {
        std::string text = errno_text("configure", path);
        close();
        return text;
    }
    s.restore = true;
    tcflush(s.fd, TCIFLUSH);  // what arrived before we asked belongs to nobody
    return {};
}

std::string Port::open_hid(const std::string& path) {
    close();
    State& s = *state_;
    s.path = path;
    s.fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s.fd < 0) return errno_text("open", path);
    // Any other character device opens just as well: /dev/zero or
    // /dev/urandom would be read without end as reports of nothing. Only a
    // hidraw device answers this request.
    struct stat info {};
    hidraw_devinfo device {};
    if (fstat(s.fd, &info) != 0 || !S_ISCHR(info.st_mode) || ioctl(s.fd, HIDIOCGRAWINFO, &device) != 0) {
        const bool regular = S_ISREG(info.st_mode);
        close();
        return path + " is not a hidraw device" + (regular ? " (a regular file; to replay a capture use --replay)" : "");
    }
    return {};
}

void Port::close() {
    State& s = *state_;
    if (s.fd < 0) return;
    if (s.restore) tcsetattr(s.fd, TCSANOW, &s.saved);
    if (s.claimed) release_port(s.fd);
    ::close(s.fd);
    s.claimed = false;
    s.fd = -1;
    s.restore = false;
}

ReadResult Port::read(std::uint8_t* buffer, std::size_t size, double timeout_seconds) {
    State& s = *state_;
    pollfd p[2] = {{s.fd, POLLIN, 0}, {stop_request_fd(), POLLIN, 0}};
    const int ready = poll_for(p, 2, timeout_seconds);
    if (ready < 0 && errno != EINTR) return {ReadStatus::failed, 0, errno_text("wait for", s.path)};
    if (ready <= 0 || p[0].revents == 0) return {};  // a timeout, or a stop request: the caller looks
    const ssize_t n = ::read(s.fd, buffer, size);
    if (n > 0) {
        pollfd waiting{s.fd, POLLIN, 0};
        const bool more = poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN) != 0;
        return {ReadStatus::bytes, static_cast<std::size_t>(n), {}, more};
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return {};
    if (n == 0) return {ReadStatus::vanished, 0, s.path + " vanished: end of file (device unplugged?)"};
    if (means_unplugged(errno))
        return {ReadStatus::vanished, 0, s.path + " vanished: " + std::strerror(errno) + " (device unplugged?)"};
    return {ReadStatus::failed, 0, errno_text("read", s.path)};
}

std::string Port::write_all(std::span<const std::uint8_t> bytes) {
    State& s = *state_;
    while (!bytes.empty()) {
        const ssize_t n = ::write(s.fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{s.fd, POLLOUT, 0};
            const int ready = poll(&p, 1, 1000);
            if (ready == 0) return "cannot write to " + s.path + ": the port takes nothing (1 s)";
            continue;
        }
        if (n < 0) return errno_text("write to", s.path);
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

void Port::drain() {
    // tcdrain() can wait forever on a stuck line; half a second is plenty
    // for a few bytes at any supported speed.
    const double until = now_seconds() + 0.5;
    int queued = 0;
    while (ioctl(state_->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && now_seconds() < until) {
        timespec step{0, 5'000'000};
        nanosleep(&step, nullptr);
    }
}

}  // namespace vandry_tools
