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

// A FIFO opened without waiting has no writer yet; poll() reports it
// readable only once a writer has written, or has come and gone. The open
// that waits for a writer instead would sleep through every stop request.
bool wait_for_writer(int fd, double until) {
    while (!stop_requested()) {
        const double left = until == 0 ? -1 : until - now_seconds();
        if (until != 0 && left <= 0) return false;
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_request_fd(), POLLIN, 0}};
        const int ready = poll(p, 2, left < 0 ? -1 : static_cast<int>(left * 1000) + 1);
        if (ready > 0 && p[0].revents != 0) return true;
        if (ready < 0 && errno != EINTR) return true;  // the first read says what is wrong
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
    struct stat out {}, target {}, null {};
    if (fstat(STDOUT_FILENO, &out) != 0 || ::stat(path.c_str(), &target) != 0) return false;
    if (::stat("/dev/null", &null) == 0 && same_identity(out, null)) return false;
    return same_identity(out, target);
}

std::FILE* open_to_read(const std::string& path, const std::string& role, double until, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + role + " " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode) && !wait_for_writer(fd, until)) {
        ::close(fd);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);  // stdio reads as a blocking file
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        error = "cannot read " + role + " " + path + ": " + std::strerror(errno);
        ::close(fd);
    }
    return file;
}

}  // namespace vandry_tools
