// The SBUS output on POSIX systems. 100000 baud is a speed that termios
// cannot name; termios2 can, but its kernel header clashes with
// <termios.h>, so this file includes only the kernel's.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform.h"
#include "port_claim.h"

namespace vandry_tools {

struct SbusLine::State {
    int fd = -1;
    std::string path;
    bool fifo = false;
    bool restore = false;
    bool claimed = false;  // another program's claim is never released by us
    struct termios2 saved {};
    std::vector<std::uint8_t> unsent;  // the rest of a frame the line took only in part
};

namespace {

std::string reason(const std::string& what, const std::string& path) {
    return "cannot " + what + " the SBUS output " + path + ": " + std::strerror(errno);
}

// 8 data bits, even parity, 2 stop bits at 100000 baud, both directions.
bool set_sbus_speed(int fd, const struct termios2& saved) {
    struct termios2 tio = saved;
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | PARODD | CRTSCTS);
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CS8 | PARENB | CSTOPB | CLOCAL | CREAD;
    tio.c_ispeed = 100000;
    tio.c_ospeed = 100000;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

// Writes what is left of the current frame; false, with the errno value,
// when the line does not take all of it now.
bool write_unsent(SbusLine::State& s, int& failure) {
    while (!s.unsent.empty()) {
        const ssize_t n = write(s.fd, s.unsent.data(), s.unsent.size());
        if (n > 0) {
            s.unsent.erase(s.unsent.begin(), s.unsent.begin() + n);
        } else if (n == 0 || errno != EINTR) {
            failure = n == 0 ? EAGAIN : errno;
            return false;
        }
    }
    return true;
}

SbusLine::Sent outcome(SbusLine::State& s, int failure, std::string& error) {
    if (failure == EAGAIN) return SbusLine::Sent::busy;
    s.unsent.clear();
    if (s.fifo && failure == EPIPE) {  // the reader went away; wait for the next one
        close(s.fd);
        s.fd = -1;
        return SbusLine::Sent::no_reader;
    }
    errno = failure;
    error = reason("write", s.path);
    return SbusLine::Sent::failed;
}

}  // namespace

SbusLine::SbusLine() : state_(std::make_unique<State>()) {}

SbusLine::~SbusLine() {
    State& s = *state_;
    if (s.fd < 0) return;
    if (s.restore) ioctl(s.fd, TCSETS2, &s.saved);
    if (s.claimed) release_port(s.fd);
    close(s.fd);
}

std::string SbusLine::open(const std::string& path) {
    State& s = *state_;
    s.path = path;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) return reason("open", path);
        s.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0644);
        return s.fd < 0 ? reason("create", path) : std::string();
    }
    if (S_ISREG(info.st_mode)) return "the SBUS output " + path + " is an existing file, which is never overwritten";
    if (S_ISFIFO(info.st_mode)) {
        s.fifo = true;
        s.fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return s.fd >= 0 || errno == ENXIO ? std::string() : reason("open", path);  // ENXIO: no reader yet
    }
    if (!S_ISCHR(info.st_mode)) return "the SBUS output " + path + " is not a serial device, FIFO or file";
    s.fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s.fd < 0) return errno == EBUSY ? port_in_use("the SBUS output " + path) : reason("open", path);
    if (isatty(s.fd) == 0) return {};  // e.g. /dev/null
    if (std::string problem = claim_port(s.fd, "the SBUS output " + path); !problem.empty()) return problem;
    s.claimed = true;
    if (ioctl(s.fd, TCGETS2, &s.saved) != 0) return reason("read the settings of", path);
    if (!set_sbus_speed(s.fd, s.saved)) return reason("set 100000 baud 8E2 on", path);
    s.restore = true;
    return {};
}

SbusLine::Sent SbusLine::send(std::span<const std::uint8_t> frame, std::string& error) {
    State& s = *state_;
    if (s.fd < 0 && s.fifo) s.fd = ::open(s.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (s.fd < 0) {
        if (errno == ENXIO) return Sent::no_reader;
        error = reason("open", s.path);
        return Sent::failed;
    }
    int failure = 0;
    if (!write_unsent(s, failure)) return outcome(s, failure, error);  // this frame is dropped
    s.unsent.assign(frame.begin(), frame.end());
    if (write_unsent(s, failure)) return Sent::sent;
    if (failure == EAGAIN && s.unsent.size() == frame.size()) s.unsent.clear();  // never started: drop it whole
    return outcome(s, failure, error);
}

}  // namespace vandry_tools
