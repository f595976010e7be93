#include "serial.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vandry_monitor {
namespace {

constexpr std::pair<unsigned, speed_t> kSpeeds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000}, {921600, B921600}, {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
};

bool speed_for(unsigned baud, speed_t& speed) {
    for (auto [rate, code] : kSpeeds) {
        if (rate == baud) {
            speed = code;
            return true;
        }
    }
    return false;
}

std::string reason(const std::string& what, const std::string& path) {
    std::string text = "cannot " + what + " " + path + ": " + std::strerror(errno);
    if (errno == EACCES) text += " (add yourself to the dialout group, or see contrib/99-vandry.rules)";
    return text;
}

}  // namespace

std::string SerialPort::open(const std::string& path, unsigned baud) {
    speed_t speed{};
    if (!speed_for(baud, speed)) return "unsupported baud rate " + std::to_string(baud);
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return reason("open", path);
    if (tcgetattr(fd_, &saved_) != 0) {
        std::string text = errno == ENOTTY ? path + " is not a serial port" : reason("configure", path);
        close();
        return text;
    }
    termios raw = saved_;
    cfmakeraw(&raw);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    raw.c_cflag |= CLOCAL | CREAD | CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, speed);
    cfsetospeed(&raw, speed);
    if (tcsetattr(fd_, TCSANOW, &raw) != 0) {
        std::string text = reason("configure", path);
        close();
        return text;
    }
    restore_ = true;
    tcflush(fd_, TCIFLUSH);
    return {};
}

void SerialPort::close() {
    if (fd_ < 0) return;
    if (restore_) tcsetattr(fd_, TCSANOW, &saved_);
    ::close(fd_);
    fd_ = -1;
    restore_ = false;
}

int open_sbus_output(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = reason("open", path);
        return -1;
    }
    if (isatty(fd) && !set_sbus_line(fd)) {
        error = reason("set 100000 baud 8E2 on", path);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace vandry_monitor
