// Files read by the tools on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform.h"
#include "poll_for.h"
#include "stop_signal.h"

namespace vandry_tools {
namespace {

// Waits until `fd` is readable, calling `while_waiting` all the while;
// false at a stop request, at `until` (0: no limit) or when `while_waiting`
// ends the wait. A blocking read would sleep through every stop request:
// the stop handlers restart it.
bool wait_readable(int fd, double until, const WhileWaiting& while_waiting) {
    while (!stop_requested()) {
        double left = until == 0 ? -1 : until - now_seconds();
        if (until != 0 && left <= 0) return false;
        if (while_waiting) {
            const double asked = while_waiting();
            if (asked < 0) return false;
            left = left < 0 ? asked : std::min(left, asked);
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_request_fd(), POLLIN, 0}};
        const int ready = poll_for(p, 2, left);
        if (ready > 0 && p[0].revents != 0) return true;
        if (ready < 0 && errno != EINTR) return true;  // the read says what is wrong
    }
    return false;
}

// A device has one identity however it is reached: its device number.
bool same_identity(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISCHR(b.st_mode)) return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && same_identity(first, second);
}

bool is_stdout(const std::string& path) {
    struct stat out {}, target {}, null {}, controlling {};
    if (fstat(STDOUT_FILENO, &out) != 0 || ::stat(path.c_str(), &target) != 0) return false;
    if (::stat("/dev/null", &null) == 0 && same_identity(out, null)) return false;
    // /dev/tty is the process's terminal under another name: the one stdout
    // is on, when stdout is a terminal.
    if (isatty(STDOUT_FILENO) == 1 && ::stat("/dev/tty", &controlling) == 0 && same_identity(target, controlling))
        return true;
    return same_identity(out, target);
}

// The descriptor stays non-blocking: a read that would wait polls beside
// the stop requests instead, and keeps the run going meanwhile.
struct InputFile::State {
    int fd = -1;
    double until = 0;
    WhileWaiting while_waiting;

    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

InputFile::InputFile() : state_(std::make_unique<State>()) {}
InputFile::~InputFile() { state_->close(); }
bool InputFile::is_open() const { return state_->fd >= 0; }

bool InputFile::open(const std::string& path, const std::string& role, double until, WhileWaiting while_waiting,
                     std::string& error) {
    state_->close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + role + " " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    const bool fifo = fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode);
    // A FIFO opened without waiting has no writer yet, and reads as ended;
    // poll() reports it readable only once a writer has written, or has
    // come and gone.
    if (fifo && !wait_readable(fd, until, while_waiting)) {
        ::close(fd);
        return false;
    }
    *state_ = State{fd, until, std::move(while_waiting)};
    return true;
}

std::ptrdiff_t InputFile::read_some(std::uint8_t* buffer, std::size_t size) {
    State& s = *state_;
    for (;;) {
        const ssize_t n = ::read(s.fd, buffer, size);
        if (n >= 0) return n;
        if (errno != EAGAIN && errno != EINTR) return -1;
        if (!wait_readable(s.fd, s.until, s.while_waiting)) return 0;
    }
}

}  // namespace vandry_tools
