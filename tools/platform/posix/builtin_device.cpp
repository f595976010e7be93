// The monitor's built-in device on POSIX systems: a child process running
// the simulated device on the master side of a pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "pty.h"
#include "session.h"
#include "simulator_options.h"

namespace vandry_tools {
namespace {

// Waits up to `seconds` for the child to end; true when it has been reaped.
bool reaped_within(pid_t child, double seconds) {
    const double until = now_seconds() + seconds;
    for (;;) {
        const pid_t done = waitpid(child, nullptr, WNOHANG);
        if (done == child || (done < 0 && errno == ECHILD)) return true;
        if (now_seconds() > until) return false;
        timespec step{0, 5'000'000};
        nanosleep(&step, nullptr);
    }
}

// In the child: nothing of the monitor's stays open (its stdout, the SBUS
// output, its copy of the port), so that none of them outlives the monitor
// through the device, and the device dies with the monitor.
[[noreturn]] void become_device(Pty& pty, pid_t monitor, const SimulatorOptions& options) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != monitor) _exit(0);  // the monitor died before the line above took effect
    setpgid(0, 0);                       // Ctrl-C goes to the monitor, which then sends the stop frame
    const int master = fcntl(pty.master, F_DUPFD_CLOEXEC, 3);  // clear of the standard streams
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
    if (master > 3) close_range(3, static_cast<unsigned>(master) - 1, 0);
    close_range(static_cast<unsigned>(master) + 1, ~0U, 0);
    install_stop_handlers();  // its own stop pipe: the monitor's was closed above
    Pty own{master, -1, pty.path};  // the device holds no copy of the port's side
    SimulatorOptions quiet = options;
    quiet.verbose = false;
    _exit(run_device(own, quiet, nullptr, nullptr));
}

}  // namespace

struct BuiltInDevice::State {
    pid_t child = -1;
    int held_port = -1;  // the monitor's spare hold on the port's side, until it is done
    std::string path;
};

BuiltInDevice::BuiltInDevice() : state_(std::make_unique<State>()) {}

BuiltInDevice::~BuiltInDevice() {
    State& s = *state_;
    if (s.held_port >= 0) close(s.held_port);
    if (s.child <= 0) return;
    if (reaped_within(s.child, 1.0)) return;  // it ends by itself on the stop frame
    kill(s.child, SIGTERM);
    if (reaped_within(s.child, 1.0)) return;
    kill(s.child, SIGKILL);
    waitpid(s.child, nullptr, 0);
}

const std::string& BuiltInDevice::path() const { return state_->path; }

std::string BuiltInDevice::start(const SimulatorOptions& options) {
    State& s = *state_;
    Pty pty;
    if (const std::string problem = open_pty(pty); !problem.empty()) return problem;
    const pid_t monitor = getpid();
    s.child = fork();
    if (s.child < 0) {
        close_pty(pty);
        return std::string("cannot start the built-in device: ") + std::strerror(errno);
    }
    if (s.child == 0) become_device(pty, monitor, options);
    close(pty.master);
    s.held_port = pty.slave;  // keeps the port's side open until the monitor has opened its own
    s.path = pty.path;
    return {};
}

}  // namespace vandry_tools
