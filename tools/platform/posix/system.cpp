// The clock, stop requests, the terminal, the console streams and files on
// POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "poll_for.h"
#include "stop_signal.h"

namespace vandry_tools {
namespace {

volatile std::sig_atomic_t stop_flag = 0;
volatile std::sig_atomic_t resized_flag = 0;
int stop_pipe[2] = {-1, -1};  // the handler writes a byte; the read end stays readable

extern "C" void vandry_tools_on_stop(int) {
    stop_flag = 1;
    const int saved = errno;
    if (stop_pipe[1] >= 0 && write(stop_pipe[1], "", 1) < 0) {
        // full already: it is readable, which is all that counts
    }
    errno = saved;
}
extern "C" void vandry_tools_on_resize(int) { resized_flag = 1; }

void handle(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;  // interrupted reads and writes go on; poll() still returns at once
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

constexpr double kStalledReaderSeconds = 2.0;

// What a failed write of stdout means, from errno.
WriteStatus failed_write(std::string& error) {
    if (errno == EPIPE) return WriteStatus::closed;
    error = std::string("cannot write to stdout: ") + std::strerror(errno);
    return WriteStatus::failed;
}

}  // namespace

const SystemTraits& system_traits() {
    static const SystemTraits traits{"/dev/ttyUSB0", true, true};
    return traits;
}

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void pause_for(double seconds) {
    const double until = now_seconds() + seconds;
    for (double left = seconds; left > 0 && !stop_requested(); left = until - now_seconds()) {
        pollfd p{stop_pipe[0], POLLIN, 0};
        poll_for(&p, 1, left);  // a stop ends it at once
    }
}

int stop_request_fd() { return stop_pipe[0]; }

// Once per process. The built-in device's child calls it again, after it
// has closed every descriptor it inherited, the old pipe's included.
void install_stop_handlers() {
    if (pipe2(stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0) stop_pipe[0] = stop_pipe[1] = -1;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) handle(s, vandry_tools_on_stop);
    handle(SIGWINCH, vandry_tools_on_resize);
    signal(SIGPIPE, SIG_IGN);
}

bool stop_requested() { return stop_flag != 0; }

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

TerminalSize terminal_size() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return {};
    return {size.ws_col, size.ws_row};
}

bool take_terminal_resized() {
    if (resized_flag == 0) return false;
    resized_flag = 0;
    return true;
}

WriteStatus write_stdout(std::string_view text, std::string& error) {
    double stalled_since = 0;
    while (!text.empty()) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        const int ready = poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            if (!stop_requested()) continue;
            if (stalled_since == 0) stalled_since = now_seconds();
            if (now_seconds() - stalled_since > kStalledReaderSeconds) return WriteStatus::closed;
            continue;
        }
        const ssize_t n = write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) break;
        text.remove_prefix(static_cast<std::size_t>(n));
        stalled_since = 0;
    }
    if (text.empty()) return WriteStatus::ok;
    return failed_write(error);
}

WriteStatus offer_stdout(std::string_view text, std::size_t& taken, std::string& error) {
    taken = 0;
    while (taken < text.size()) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        const int ready = poll(&p, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return WriteStatus::ok;  // full: the reader has not caught up
        if (ready < 0) return failed_write(error);
        // After POLLOUT a pipe has room for PIPE_BUF bytes at least: a write
        // no longer than that returns at once even on a blocking descriptor
        // (which stdout stays: its flags are shared with the shell).
        const std::size_t piece = whole_lines_piece(text.substr(taken), PIPE_BUF);
        const ssize_t n = write(STDOUT_FILENO, text.data() + taken, piece);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return WriteStatus::ok;
        if (n < 0) return failed_write(error);
        taken += static_cast<std::size_t>(n);
    }
    return WriteStatus::ok;
}

void wait_for_stdout(double seconds) {
    pollfd p[2] = {{STDOUT_FILENO, POLLOUT, 0}, {stop_pipe[0], POLLIN, 0}};
    // The stop pipe stays readable once a stop is requested: it ends a wait only until then.
    poll_for(p, stop_requested() ? 1 : 2, std::max(seconds, 0.0));
}

bool stdout_flushed() { return true; }  // what write() took is the kernel's

void write_stderr(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to tell anyone
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

namespace {

// "File exists" alone puzzles a user who sees no file: say what is there.
std::string existing_kind(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return {};
    if (S_ISDIR(info.st_mode)) return ": a directory";
    if (!S_ISLNK(info.st_mode)) return {};
    struct stat target {};
    return ::stat(path.c_str(), &target) == 0 ? ": a symbolic link" : ": a symbolic link to nothing";
}

}  // namespace

void open_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is the one just found closed.
        if (::open("/dev/null", O_RDWR | O_NOCTTY) != fd) return;
    }
}

std::FILE* create_file(const std::string& path, const std::string& role, std::string& error) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY;
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        error = "cannot create " + role + " " + path + ": " + std::strerror(errno);
        if (errno == EEXIST) error += existing_kind(path) + " (it is never overwritten; remove it or choose another name)";
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        error = "cannot write " + role + " " + path + ": " + std::strerror(errno);
        ::close(fd);
    }
    return file;
}

}  // namespace vandry_tools
