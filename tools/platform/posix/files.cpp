// Files read by the tools on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "stop_signal.h"

namespace vandry_tools {
namespace {

// Waits until `fd` is readable; false at a stop request or at `until`
// (0: no limit). A blocking read would sleep through every stop request:
// the stop handlers restart it.
bool wait_readable(int fd, double until) {
    while (!stop_requested()) {
        const double left = until == 0 ? -1 : until - now_seconds();
        if (until != 0 && left <= 0) return false;
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_request_fd(), POLLIN, 0}};
        const int ready = poll(p, 2, left < 0 ? -1 : static_cast<int>(left * 1000) + 1);
        if (ready > 0 && p[0].revents != 0) return true;
        if (ready < 0 && errno != EINTR) return true;  // the read says what is wrong
    }
    return false;
}

// A FIFO read through stdio: a writer that stalls is waited for as long as
// the run lasts, and a stop request or the end of the run reads as the end.
struct Fifo {
    int fd;
    double until;
};

ssize_t read_fifo(void* cookie, char* buffer, std::size_t size) {
    const Fifo& fifo = *static_cast<Fifo*>(cookie);
    for (;;) {
        const ssize_t n = ::read(fifo.fd, buffer, size);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
        if (!wait_readable(fifo.fd, fifo.until)) return 0;
    }
}

int close_fifo(void* cookie) {
    const Fifo* fifo = static_cast<Fifo*>(cookie);
    const int status = ::close(fifo->fd);
    delete fifo;
    return status;
}

std::FILE* fifo_stream(int fd, double until) {
    auto* fifo = new Fifo{fd, until};
    std::FILE* file = fopencookie(fifo, "rb", {read_fifo, nullptr, nullptr, close_fifo});
    if (file == nullptr) delete fifo;
    return file;
}

std::FILE* file_stream(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);  // stdio reads as from a blocking file
    return fdopen(fd, "rb");
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

std::FILE* open_to_read(const std::string& path, const std::string& role, double until, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + role + " " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    const bool fifo = fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode);
    // A FIFO opened without waiting has no writer yet; poll() reports it
    // readable only once a writer has written, or has come and gone.
    if (fifo && !wait_readable(fd, until)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = fifo ? fifo_stream(fd, until) : file_stream(fd);
    if (file == nullptr) {
        error = "cannot read " + role + " " + path + ": " + std::strerror(errno);
        ::close(fd);
    }
    return file;
}

}  // namespace vandry_tools
