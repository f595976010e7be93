// vandry-monitor: shows what a Vandry device sends, from a serial port, a
// hidraw device, a capture file, or a built-in simulated device. It is also
// the reference host: it drives the library only through its public header.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>
#include <string>

#include "VandryInterface.h"
#include "options.h"
#include "serial.h"
#include "simulator.h"
#include "view.h"

namespace vandry_monitor {
namespace {

volatile std::sig_atomic_t signalled = 0;
extern "C" void vandry_monitor_on_signal(int) { signalled = 1; }

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = vandry_monitor_on_signal;  // no SA_RESTART: poll() returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "vandry-monitor: %s\n", message.c_str());
    return 1;
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
            continue;
        }
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// SBUS frames from the latest values: one per update, or at a fixed rate.
class SbusWriter {
public:
    SbusWriter(const MonitorOptions& options, int fd) : fd_(fd), source_(options.sbus_source), rate_(options.sbus_rate) {}
    ~SbusWriter() {
        if (fd_ >= 0) close(fd_);
    }

    bool update(const PortRecords& records, double now) {
        latest_ = records;
        have_values_ = true;
        if (rate_ > 0) return tick(now);
        return fd_ < 0 || send();
    }

    bool tick(double now) {
        if (fd_ < 0 || rate_ <= 0 || !have_values_) return true;
        if (next_at_ == 0) next_at_ = now;
        while (now >= next_at_) {
            if (!send()) return false;
            next_at_ += 1.0 / rate_;
        }
        return true;
    }

    double next_at() const { return fd_ >= 0 && rate_ > 0 && have_values_ ? next_at_ : 0; }

private:
    bool send() {
        std::uint16_t source[16] = {};
        const std::uint16_t* from = source_ == SbusSource::channels ? latest_.channels.channel
                                    : source_ == SbusSource::bank0  ? latest_.banks.bank[0]
                                                                    : latest_.banks.bank[1];
        const std::size_t count = source_ == SbusSource::channels ? 15 : 16;  // channel 16 stays 0
        for (std::size_t k = 0; k < count; ++k) source[k] = from[k];
        sbus_channels scaled;
        convert_std_sbus_data(&scaled, source);
        sbus_frame frame;
        frame.bytes[0] = 0x0F;  // the SBUS start byte
        encode_sbus_data_v2(&frame, &scaled);
        return write_all(fd_, frame.bytes);
    }

    int fd_;
    SbusSource source_;
    double rate_;
    PortRecords latest_{};
    bool have_values_ = false;
    double next_at_ = 0;
};

class Monitor {
public:
    Monitor(const MonitorOptions& options, View& view, SbusWriter& sbus)
        : options_(options), view_(view), sbus_(sbus), deadline_(options.seconds > 0 ? now_seconds() + options.seconds : 0) {}

    // Reads the device's port: request frame first, stop frame last.
    int run_port(int fd, int record_fd) {
        std::array<std::uint8_t, VANDRY_REQUEST_UPLOAD_FRAME_SIZE> request{};
        request_upload_port_data(request.data(), options_.param1, options_.param2);
        if (!write_all(fd, request)) return fail("cannot write to " + options_.path + ": " + std::strerror(errno));
        const int status = read_device(fd, [&](std::span<const std::uint8_t> bytes) -> std::string {
            if (record_fd >= 0 && !write_all(record_fd, bytes)) return "cannot write the capture file";
            return feed(bytes) ? "" : "cannot write to stdout or the SBUS output";
        });
        if (port_gone_) return status;
        // Whatever ended the run, a port that is still there gets the stop frame.
        std::array<std::uint8_t, VANDRY_STOP_UPLOAD_FRAME_SIZE> stop{};
        stop_upload_port_data(stop.data());
        if (!write_all(fd, stop)) return fail("cannot write the stop frame to " + options_.path);
        tcdrain(fd);
        return status;
    }

    int run_hidraw(int fd) {
        return read_device(fd, [&](std::span<const std::uint8_t> report) -> std::string {
            return decode_report(report.data(), static_cast<std::uint8_t>(report.size())) ? "" : "cannot write to stdout";
        });
    }

    int run_replay(int fd) {
        std::array<std::uint8_t, 255> chunk{};
        while (!should_stop()) {
            const ssize_t n = read(fd, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail("cannot read " + options_.path + ": " + std::strerror(errno));
            if (n == 0) break;
            if (!feed({chunk.data(), static_cast<std::size_t>(n)})) return fail("cannot write to stdout");
        }
        return 0;
    }

private:
    // Hands each read (at most 255 bytes, one HID report) to `handle` until
    // it is time to stop; `handle` returns a reason to fail, or nothing.
    template <typename Handle>
    int read_device(int fd, Handle handle) {
        std::array<std::uint8_t, 255> buffer{};
        while (!should_stop()) {
            const int ready = wait_readable(fd);
            if (ready < 0) return fail("waiting for " + options_.path + ": " + std::strerror(errno));
            if (ready == 0) continue;
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return vanished(n);
            const std::string failure = handle(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
            if (!failure.empty()) return fail(failure);
        }
        return 0;
    }

    bool should_stop() const {
        return signalled || (options_.frames != 0 && view_.updates() >= options_.frames) ||
               (deadline_ != 0 && now_seconds() >= deadline_);
    }

    // > 0 readable, 0 nothing yet, < 0 error. Hang-ups count as readable,
    // so that the read that follows reports them.
    int wait_readable(int fd) {
        const double now = now_seconds();
        view_.refresh(now);
        if (!sbus_.tick(now)) return -1;
        double wake = now + 0.05;
        if (sbus_.next_at() != 0 && sbus_.next_at() < wake) wake = sbus_.next_at();
        if (deadline_ != 0 && deadline_ < wake) wake = deadline_;
        pollfd p{fd, POLLIN, 0};
        const int ms = wake > now ? static_cast<int>((wake - now) * 1000) + 1 : 0;
        const int n = poll(&p, 1, ms);
        if (n < 0) return errno == EINTR ? 0 : -1;
        return n > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
    }

    int vanished(ssize_t n) {
        port_gone_ = true;
        if (n < 0 && errno != EIO && errno != ENODEV && errno != ENXIO)
            return fail("cannot read " + options_.path + ": " + std::strerror(errno));
        return fail(options_.path + " vanished (device unplugged?)");
    }

    bool feed(std::span<const std::uint8_t> bytes) {
        if (parse_port_data(bytes.data(), static_cast<std::uint8_t>(bytes.size()), &records_.channels, &records_.banks) == 0)
            return true;
        return view_.port_update(records_) && sbus_.update(records_, now_seconds());
    }

    bool decode_report(const std::uint8_t* report, std::uint8_t length) {
        game_controller_state state{};
        if (parse_hid_game_controller_device(&state, report, length)) return view_.game_controller(state);
        if (parse_hid_compatible_device(&records_.channels, report, length))
            return view_.compatible(records_.channels) && sbus_.update(records_, now_seconds());
        return true;  // a report of another kind
    }

    const MonitorOptions& options_;
    View& view_;
    SbusWriter& sbus_;
    double deadline_;
    PortRecords records_{};
    bool port_gone_ = false;
};

// The built-in device runs in a child process on the master side of a pty;
// the monitor opens the slave side like any serial port.
class BuiltInDevice {
public:
    std::string start(const vandry_sim::SimulatorOptions& options) {
        int master = -1, slave = -1;
        if (!vandry_sim::open_pty_pair(master, slave, path_)) return std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        child_ = fork();
        if (child_ < 0) return std::string("cannot start the built-in device: ") + std::strerror(errno);
        if (child_ == 0) {
            setpgid(0, 0);  // Ctrl-C goes to the monitor, which then sends the stop frame
            _exit(vandry_sim::run_simulator(master, slave, options));
        }
        close(master);
        close(slave);
        return {};
    }

    const std::string& path() const { return path_; }

    ~BuiltInDevice() {
        if (child_ <= 0) return;
        for (int waited = 0; waited < 100; ++waited) {  // it stops on the stop frame
            if (waitpid(child_, nullptr, WNOHANG) == child_) return;
            usleep(20000);
        }
        kill(child_, SIGTERM);
        waitpid(child_, nullptr, 0);
    }

private:
    std::string path_;
    pid_t child_ = -1;
};

int open_record(const std::string& path) {
    return path.empty() ? -1 : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

int run(MonitorOptions options) {
    install_signal_handlers();
    std::string error;
    const int sbus_fd = options.sbus_out.empty() ? -1 : open_sbus_output(options.sbus_out, error);
    if (!options.sbus_out.empty() && sbus_fd < 0) return fail(error);
    SbusWriter sbus(options, sbus_fd);

    BuiltInDevice device;
    if (options.source == SourceKind::simulated) {
        if (const auto failure = device.start(options.simulator); !failure.empty()) return fail(failure);
        options.path = device.path();
    }
    const bool json = options.json || !isatty(STDOUT_FILENO);
    const std::string name = options.source == SourceKind::simulated ? "built-in device on " + options.path : options.path;
    View view(json, name);
    Monitor monitor(options, view, sbus);

    int status = 0;
    if (options.source == SourceKind::replay || options.source == SourceKind::hidraw) {
        const int fd = open(options.path.c_str(), O_RDONLY | O_CLOEXEC | (options.source == SourceKind::hidraw ? O_NONBLOCK : 0));
        if (fd < 0) return fail("cannot open " + options.path + ": " + std::strerror(errno));
        status = options.source == SourceKind::replay ? monitor.run_replay(fd) : monitor.run_hidraw(fd);
        close(fd);
    } else {
        SerialPort port;
        if (const auto failure = port.open(options.path, options.baud); !failure.empty()) return fail(failure);
        const int record_fd = open_record(options.record_path);
        if (!options.record_path.empty() && record_fd < 0)
            return fail("cannot open " + options.record_path + ": " + std::strerror(errno));
        status = monitor.run_port(port.fd(), record_fd);
        if (record_fd >= 0) close(record_fd);
    }
    view.finish(now_seconds());
    return status;
}

}  // namespace
}  // namespace vandry_monitor

int main(int argc, char** argv) {
    auto parsed = vandry_monitor::parse_options(argc, argv);
    if (!parsed.options) {
        std::fputs(parsed.message.c_str(), parsed.exit_status == 0 ? stdout : stderr);
        return parsed.exit_status;
    }
    return vandry_monitor::run(*parsed.options);
}
