#include "session.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <random>
#include <string>

#include "VandryInterface.h"
#include "device_stream.h"
#include "platform.h"
#include "poll_for.h"
#include "stop_signal.h"

namespace vandry_tools {
namespace {

constexpr std::size_t kMostQueuedBytes = 256 * 1024;  // beyond this the host is not reading
constexpr double kMostCatchUpSeconds = 0.1;           // frame times older than this are skipped
constexpr double kDrainSeconds = 10.0;                // for the host to read what was sent before a vanish

// Finds the host's command frames in the bytes it writes.
class CommandWatcher {
public:
    enum class Event { none, request, stop };

    Event feed(std::uint8_t byte) {
        std::copy(window_.begin() + 1, window_.end(), window_.begin());
        window_.back() = byte;
        if (seen_ < window_.size()) ++seen_;
        if (ends_with({VANDRY_FRAME_HEAD, VANDRY_CMD_STOP_UPLOAD, 0, 0, VANDRY_FRAME_TAIL})) return Event::stop;
        if (seen_ == 7 && window_[0] == VANDRY_FRAME_HEAD && window_[1] == VANDRY_CMD_REQUEST_UPLOAD &&
            window_[2] == 2 && window_[3] == 0 && window_[6] == VANDRY_FRAME_TAIL)
            return Event::request;
        return Event::none;
    }
    int param1() const { return window_[4]; }
    int param2() const { return window_[5]; }

private:
    bool ends_with(std::initializer_list<std::uint8_t> bytes) const {
        return seen_ >= bytes.size() && std::equal(bytes.begin(), bytes.end(), window_.end() - static_cast<long>(bytes.size()));
    }

    std::array<std::uint8_t, 7> window_{};
    std::size_t seen_ = 0;
};

class Session {
public:
    Session(Pty& pty, const SimulatorOptions& options, std::FILE* log, PortLink* link)
        : pty_(pty), options_(options), log_(log), link_(link), stream_(options), sizes_(options.seed) {}

    int run() {
        while (!stop_requested()) {
            pollfd p[2] = {{pty_.master, static_cast<short>(POLLIN | (queue_.empty() ? 0 : POLLOUT)), 0},
                           {stop_request_fd(), POLLIN, 0}};
            if (poll_for(p, 2, timeout(now_seconds())) < 0 && errno != EINTR) return failed("poll", std::strerror(errno));
            if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !read_host()) break;
            generate(now_seconds());
            if (!write_some()) break;
        }
        if (stop_requested()) say("terminated");
        report_lag(true);
        return status_;
    }

private:
    int failed(const std::string& what, const std::string& why) {
        say("cannot " + what + ": " + why);
        status_ = 1;
        return status_;
    }

    // Seconds until the next frame is due; negative: none is.
    double timeout(double now) const {
        if (!streaming_ || limit_reached()) return -1;  // nothing to do until the host writes or a signal comes
        // A rate of one frame a year is still a rate: the wait is long, never endless.
        return std::clamp(next_slot_at() - now, 0.0, 3600.0);
    }

    double next_slot_at() const { return stream_start_ + static_cast<double>(slots_) / options_.rate_hz; }

    bool limit_reached() const { return options_.frame_limit != 0 && sent_ + queue_.size() >= options_.frame_limit; }

    // Returns false when the session is over.
    bool read_host() {
        std::array<std::uint8_t, 256> bytes{};
        const ssize_t n = read(pty_.master, bytes.data(), bytes.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) {  // no host holds the port any more (seen only when the device holds none of it)
            say("the host closed the port");
            return false;
        }
        for (ssize_t k = 0; k < n; ++k) {
            switch (watcher_.feed(bytes[static_cast<std::size_t>(k)])) {
                case CommandWatcher::Event::request: start_streaming(); break;
                case CommandWatcher::Event::stop:
                    if (!stop_streaming()) return false;
                    break;
                case CommandWatcher::Event::none: break;
            }
        }
        return true;
    }

    void start_streaming() {
        say("request frame received (param1 " + std::to_string(watcher_.param1()) + ", param2 " +
            std::to_string(watcher_.param2()) + ")");
        drop_unstarted();  // frames queued for an earlier request are stale now
        streaming_ = true;
        stream_start_ = now_seconds();
        slots_ = 0;
    }

    // A device that serves on finishes the frame it is writing, so that the
    // stream stays whole for the next host, and then says it has stopped:
    // nothing more comes until the next request.
    bool stop_streaming() {
        streaming_ = false;
        if (!options_.serve) {
            say("stop frame received");
            let_the_host_read();
            return false;
        }
        drop_unstarted();
        const bool whole = finish_front();
        say("stop frame received");
        return whole;
    }

    // A host that reads nothing gets no more: after a second the rest of the
    // frame is given up, so that nothing at all is written after the stop.
    bool finish_front() {
        const double until = now_seconds() + 1.0;
        while (!queue_.empty() && now_seconds() < until) {
            pollfd p{pty_.master, POLLOUT, 0};
            poll(&p, 1, 10);
            if (!write_some()) return false;
        }
        queue_.clear();
        queued_bytes_ = front_written_ = 0;
        return true;
    }

    // Frames not yet begun leave the queue; one half written stays.
    void drop_unstarted() {
        const std::size_t keep = front_written_ > 0 ? 1 : 0;
        while (queue_.size() > keep) {
            queued_bytes_ -= queue_.back().bytes.size();
            queue_.pop_back();
        }
    }

    // Queues the frames whose time has come. A device that fell far behind
    // (a stall, an overloaded machine) skips the old frame times rather than
    // sending them in a burst, and says so.
    void generate(double now) {
        if (!streaming_) return;
        const auto due = static_cast<std::uint64_t>((now - stream_start_) * options_.rate_hz) + 1;
        const auto most = std::max<std::uint64_t>(2, static_cast<std::uint64_t>(options_.rate_hz * kMostCatchUpSeconds));
        if (due > slots_ + most) {
            skipped_ += due - slots_ - most;
            slots_ = due - most;
        }
        for (; slots_ < due && !limit_reached(); ++slots_) {
            queue_.push_back(stream_.next_piece());
            queued_bytes_ += queue_.back().bytes.size();
        }
        // A host that does not read: the oldest frames not yet begun go.
        while (queued_bytes_ > kMostQueuedBytes && queue_.size() > 1) {
            const auto victim = queue_.begin() + (front_written_ > 0 ? 1 : 0);
            queued_bytes_ -= victim->bytes.size();
            queue_.erase(victim);
            ++dropped_;
        }
        report_lag(false);
    }

    void report_lag(bool at_end) {
        const double now = now_seconds();
        if (!at_end && now - last_report_ < 1.0) return;
        if (skipped_ > reported_skipped_)
            say("cannot keep up with " + rate_text() + ": skipped " + std::to_string(skipped_) + " frame times so far");
        if (dropped_ > reported_dropped_)
            say("the host does not read fast enough: dropped " + std::to_string(dropped_) + " frames so far");
        if (skipped_ > reported_skipped_ || dropped_ > reported_dropped_) last_report_ = now;
        reported_skipped_ = skipped_;
        reported_dropped_ = dropped_;
    }

    std::string rate_text() const {
        char text[48];
        std::snprintf(text, sizeof text, "a rate of %g frames a second", options_.rate_hz);
        return text;
    }

    // Writes what the port takes now. Returns false when the session is over.
    bool write_some() {
        while (!queue_.empty()) {
            Piece& front = queue_.front();
            const std::size_t left = front.bytes.size() - front_written_;
            const std::size_t size = options_.irregular_writes ? std::min<std::size_t>(left, 1 + sizes_() % 300) : left;
            const ssize_t n = write(pty_.master, front.bytes.data() + front_written_, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return true;
            if (n <= 0) {
                say("the port is gone: " + std::string(std::strerror(errno)));
                return false;
            }
            front_written_ += static_cast<std::size_t>(n);
            queued_bytes_ -= static_cast<std::size_t>(n);
            if (front_written_ < front.bytes.size()) continue;
            if (!log_frame(front.frame)) return false;
            queue_.pop_front();
            front_written_ = 0;
            if (options_.vanish_after != 0 && sent_ == options_.vanish_after && !vanished_) return vanish();
        }
        return true;
    }

    // The frame's last byte is out: a host reading the port holds these records now.
    bool log_frame(const SimFrame& frame) {
        ++sent_;
        host_.apply(frame);
        if (log_ == nullptr) return true;
        const std::string line = host_.log_line(sent_);
        if (std::fputs(line.c_str(), log_) >= 0 && std::fflush(log_) == 0) return true;
        failed("write the log " + options_.log_path, std::strerror(errno));
        return false;
    }

    // Like an unplugged device: the port closes in the middle of a frame,
    // after the host has read everything before it.
    bool vanish() {
        vanished_ = true;
        const std::vector<std::uint8_t> cut = stream_.cut_frame();
        if (write(pty_.master, cut.data(), cut.size()) < 0) say("cannot write the cut frame: " + std::string(std::strerror(errno)));
        wait_until_read();
        say("vanishing after " + std::to_string(sent_) + " frames, in the middle of a frame");
        queue_.clear();
        queued_bytes_ = front_written_ = 0;
        streaming_ = false;
        // The port's side stays held until the link points elsewhere: its
        // number is then not given to another program's pseudo-terminal,
        // which a host waiting on the link would open instead.
        Pty old{-1, pty_.slave, pty_.path};
        ::close(pty_.master);
        pty_ = Pty{};
        const bool back = options_.return_after > 0 && come_back();
        close_pty(old);
        return back;
    }

    bool come_back() {
        pause_for(options_.return_after);
        if (stop_requested()) return false;
        if (const std::string problem = open_pty(pty_); !problem.empty()) {
            failed("come back", problem);
            return false;
        }
        if (link_ != nullptr) {
            if (const std::string problem = link_->point_to(pty_.path); !problem.empty()) say(problem);
        }
        if (const std::string problem = announce_port(pty_); !problem.empty()) {
            say(problem);
            status_ = 1;  // as when the first path cannot be said
            return false;
        }
        say("back as " + pty_.path);
        return true;
    }

    // A device that stops sending does not take back what is already on the
    // line: the frames written (and logged) before the stop frame stay the
    // host's to read. Ending at once would close the port and discard them.
    // The device's own hold on the port's side goes first, so that the port
    // says when the last host has closed it; until then a fresh look at the
    // port's side tells whether bytes are still waiting.
    void let_the_host_read() {
        if (pty_.slave < 0) return;  // the monitor's built-in device: its host ends the session itself
        ::close(pty_.slave);
        pty_.slave = -1;
        const double until = now_seconds() + kDrainSeconds;
        while (host_holds_port() && bytes_wait_for_host() && !stop_requested()) {
            if (now_seconds() > until) {
                say("the host did not read the last frames before the device ended");
                return;
            }
            pause_for(0.005);
        }
    }

    bool host_holds_port() const {
        pollfd p{pty_.master, POLLIN, 0};
        return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
    }

    // A port held in exclusive mode cannot be looked at: its host is there,
    // so the bytes are taken to be waiting until it closes the port.
    bool bytes_wait_for_host() const {
        const int fd = ::open(pty_.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return errno == EBUSY;
        pollfd p{fd, POLLIN, 0};
        const bool waiting = poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
        ::close(fd);
        return waiting;
    }

    // poll() on the port's side flushes the pty's pending input first, so it
    // says truly whether bytes are still waiting for the host.
    void wait_until_read() const {
        const double until = now_seconds() + kDrainSeconds;
        for (;;) {
            pollfd p{pty_.slave, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return;
            if (now_seconds() > until || stop_requested()) {
                say("the host did not read the last bytes before the port vanished");
                return;
            }
            pause_for(0.005);
        }
    }

    void say(const std::string& text) const {
        if (options_.verbose) write_stderr("vandry-sim: " + text + "\n");
    }

    Pty& pty_;
    const SimulatorOptions& options_;
    std::FILE* log_;
    PortLink* link_;
    DeviceStream stream_;
    HostRecords host_;
    std::mt19937 sizes_;
    CommandWatcher watcher_;
    std::deque<Piece> queue_;
    std::size_t front_written_ = 0;  // bytes of the front piece already out
    std::size_t queued_bytes_ = 0;
    bool streaming_ = false;
    bool vanished_ = false;
    double stream_start_ = 0;
    std::uint64_t slots_ = 0;  // frame times used since the request
    std::uint64_t sent_ = 0;   // frames whose last byte is out
    std::uint64_t skipped_ = 0, reported_skipped_ = 0;
    std::uint64_t dropped_ = 0, reported_dropped_ = 0;
    double last_report_ = 0;
    int status_ = 0;
};

}  // namespace

int run_device(Pty& pty, const SimulatorOptions& options, std::FILE* log, PortLink* link) {
    return Session(pty, options, log, link).run();
}

}  // namespace vandry_tools
