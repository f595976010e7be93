#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <random>

#include "VandryInterface.h"
#include "json.h"

namespace vandry_sim {
namespace {

volatile std::sig_atomic_t stop_requested = 0;
extern "C" void vandry_sim_on_signal(int) { stop_requested = 1; }

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A value that sweeps up and down between 0 and top.
std::uint16_t triangle(std::uint64_t phase, unsigned top) {
    const auto p = static_cast<unsigned>(phase % (2 * top));
    return static_cast<std::uint16_t>(p <= top ? p : 2 * top - p);
}

// The device's side: sweeping values and the frames that carry them.
class Device {
public:
    explicit Device(const SimulatorOptions& options) : types_(options.payload_types) {}

    std::vector<std::uint8_t> next_frame() {
        const std::uint8_t type = types_[count_ % types_.size()];
        advance_values(type);
        std::vector<std::uint8_t> payload{type};
        if (type != VANDRY_PAYLOAD_BANKS) append_values(payload, channels_.data(), channels_.size());
        if (type != VANDRY_PAYLOAD_CHANNELS) append_values(payload, banks_.data(), banks_.size());
        ++count_;
        return frame_of(payload);
    }

    std::uint64_t count() const { return count_; }

    // The host's records after the last frame, as one JSON line.
    std::string records_json() const {
        std::string out = "{\"frame\":";
        out += std::to_string(count_);
        out += ",\"channels\":";
        out += vandry_tools::json_list(channels_.data(), 15);
        out += ",\"banks\":[";
        out += vandry_tools::json_list(banks_.data(), 16);
        out += ',';
        out += vandry_tools::json_list(banks_.data() + 16, 16);
        out += "]}";
        return out;
    }

private:
    void advance_values(std::uint8_t type) {
        const std::uint64_t n = count_;
        if (type != VANDRY_PAYLOAD_BANKS)
            for (std::size_t k = 0; k < channels_.size(); ++k) channels_[k] = triangle(n * 8 + k * 80, 1200);
        if (type != VANDRY_PAYLOAD_CHANNELS)
            for (std::size_t k = 0; k < banks_.size(); ++k) banks_[k] = triangle(n * 5 + k * 131, 2047);
    }

    static void append_values(std::vector<std::uint8_t>& out, const std::uint16_t* values, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) {
            out.push_back(static_cast<std::uint8_t>(values[k] & 0xFF));
            out.push_back(static_cast<std::uint8_t>(values[k] >> 8));
        }
    }

    static std::vector<std::uint8_t> frame_of(const std::vector<std::uint8_t>& payload) {
        std::vector<std::uint8_t> frame{VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, static_cast<std::uint8_t>(payload.size() & 0xFF),
                                        static_cast<std::uint8_t>(payload.size() >> 8)};
        frame.insert(frame.end(), payload.begin(), payload.end());
        frame.push_back(VANDRY_FRAME_TAIL);
        return frame;
    }


    std::vector<std::uint8_t> types_;
    std::uint64_t count_ = 0;
    std::array<std::uint16_t, 15> channels_{};
    std::array<std::uint16_t, 32> banks_{};
};

// Finds the host's command frames in the bytes it writes.
class CommandWatcher {
public:
    enum class Event { none, request, stop };

    Event feed(std::uint8_t byte) {
        if (window_.size() == 7) window_.pop_front();
        window_.push_back(byte);
        const std::size_t n = window_.size();
        auto at = [&](std::size_t back) { return window_[n - back]; };
        if (n >= 5 && at(5) == VANDRY_FRAME_HEAD && at(4) == VANDRY_CMD_STOP_UPLOAD && at(3) == 0 && at(2) == 0 &&
            at(1) == VANDRY_FRAME_TAIL)
            return Event::stop;
        if (n == 7 && at(7) == VANDRY_FRAME_HEAD && at(6) == VANDRY_CMD_REQUEST_UPLOAD && at(5) == 2 && at(4) == 0 &&
            at(1) == VANDRY_FRAME_TAIL) {
            param1_ = at(3);
            param2_ = at(2);
            return Event::request;
        }
        return Event::none;
    }
    int param1() const { return param1_; }
    int param2() const { return param2_; }

private:
    std::deque<std::uint8_t> window_;
    int param1_ = 0, param2_ = 0;
};

class Session {
public:
    Session(int master_fd, int slave_fd, const SimulatorOptions& options)
        : master_(master_fd), slave_(slave_fd), options_(options), device_(options), rng_(options.seed) {
        if (!options.log_path.empty()) log_.open(options.log_path, std::ios::trunc);
    }

    int run() {
        while (!stop_requested) {
            if (!wait_and_read()) return 1;
            if (finished_) return 0;
            if (streaming_) stream();
            if (vanished_) return 0;
        }
        say("terminated");
        return 0;
    }

private:
    bool wait_and_read() {
        pollfd p{master_, POLLIN, 0};
        const int timeout_ms = streaming_ ? 1 : 200;
        if (poll(&p, 1, timeout_ms) < 0) return errno == EINTR;
        if (!(p.revents & POLLIN)) return true;
        std::array<std::uint8_t, 256> bytes{};
        const ssize_t n = read(master_, bytes.data(), bytes.size());
        if (n < 0) {
            // EIO: no host holds the port open (only when we hold no slave).
            if (errno == EIO) usleep(20000);
            return errno == EIO || errno == EAGAIN || errno == EINTR;
        }
        for (ssize_t k = 0; k < n; ++k) handle(watcher_.feed(bytes[static_cast<std::size_t>(k)]));
        return true;
    }

    void handle(CommandWatcher::Event event) {
        if (event == CommandWatcher::Event::request) {
            say("request frame received (param1 " + std::to_string(watcher_.param1()) + ", param2 " +
                std::to_string(watcher_.param2()) + ")");
            if (slave_ >= 0) tcflush(slave_, TCIFLUSH);  // nothing stale for the new host
            queue_.clear();
            streaming_ = true;
            next_frame_at_ = now_seconds();
        } else if (event == CommandWatcher::Event::stop) {
            say("stop frame received");
            streaming_ = false;
            finished_ = !options_.serve;
        }
    }

    void stream() {
        const double period = 1.0 / options_.rate_hz;
        while (now_seconds() >= next_frame_at_ && !limit_reached()) {
            enqueue_frame();
            next_frame_at_ += period;
        }
        flush_some();
        if (options_.vanish_after != 0 && sent_frames_ >= options_.vanish_after) vanish();
    }

    bool limit_reached() const {
        return options_.frame_limit != 0 && device_.count() >= options_.frame_limit;
    }

    void enqueue_frame() {
        if (options_.noise) {
            const auto count = rng_() % 12;
            for (unsigned k = 0; k < count; ++k) {
                auto b = static_cast<std::uint8_t>(rng_() & 0xFF);
                queue_.push_back(b == VANDRY_FRAME_HEAD ? 0x00 : b);
            }
        }
        const auto frame = device_.next_frame();
        queue_.insert(queue_.end(), frame.begin(), frame.end());
        frame_ends_.push_back(queued_total_ + queue_.size());
        if (log_) log_ << device_.records_json() << '\n' << std::flush;
    }

    // Writes what is queued, in pieces of random size when asked to, so that
    // the host's reads see frames cut anywhere.
    void flush_some() {
        while (!queue_.empty()) {
            std::size_t size = queue_.size();
            if (options_.irregular_writes) size = std::min<std::size_t>(size, 1 + rng_() % 300);
            std::vector<std::uint8_t> piece(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(size));
            const ssize_t n = write(master_, piece.data(), piece.size());
            if (n <= 0) {
                if (queue_.size() > 65536) queue_.clear();  // nobody reads: drop, as a device would
                return;
            }
            queue_.erase(queue_.begin(), queue_.begin() + n);
            queued_total_ += static_cast<std::uint64_t>(n);
            while (!frame_ends_.empty() && frame_ends_.front() <= queued_total_) {
                frame_ends_.pop_front();
                ++sent_frames_;
            }
            if (options_.irregular_writes) return;  // one piece per turn
        }
    }

    void vanish() {
        say("vanishing after " + std::to_string(sent_frames_) + " frames");
        usleep(100000);  // let the host read what was sent
        if (slave_ >= 0) close(slave_);
        close(master_);
        vanished_ = true;
    }

    void say(const std::string& text) const {
        if (options_.verbose) std::fprintf(stderr, "vandry-sim: %s\n", text.c_str());
    }

    int master_;
    int slave_;
    const SimulatorOptions& options_;
    Device device_;
    CommandWatcher watcher_;
    std::mt19937 rng_;
    std::ofstream log_;
    std::deque<std::uint8_t> queue_;
    std::deque<std::uint64_t> frame_ends_;  // stream offsets where queued frames end
    std::uint64_t queued_total_ = 0;        // bytes written so far
    std::uint64_t sent_frames_ = 0;
    double next_frame_at_ = 0;
    bool streaming_ = false;
    bool finished_ = false;
    bool vanished_ = false;
};

}  // namespace

int run_simulator(int master_fd, int slave_fd, const SimulatorOptions& options) {
    struct sigaction action {};
    action.sa_handler = vandry_sim_on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Session session(master_fd, slave_fd, options);
    return session.run();
}

bool open_pty_pair(int& master_fd, int& slave_fd, std::string& slave_path) {
    master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_fd < 0) return false;
    char name[128];
    if (grantpt(master_fd) != 0 || unlockpt(master_fd) != 0 || ptsname_r(master_fd, name, sizeof name) != 0) {
        close(master_fd);
        return false;
    }
    slave_path = name;
    slave_fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_fd < 0) {
        close(master_fd);
        return false;
    }
    termios raw{};
    tcgetattr(slave_fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_fd, TCSANOW, &raw);
    return true;
}

}  // namespace vandry_sim
