#include "monitor.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "VandryInterface.h"
#include "capture.h"
#include "platform.h"
#include "port_feeder.h"
#include "sbus_sender.h"
#include "udp_outputs.h"
#include "view.h"

namespace vandry_tools {
namespace {

constexpr std::size_t kReadSize = 4096;
constexpr double kReconnectInterval = 0.2;
constexpr double kLongestWait = 0.25;  // signals end a wait at once; this is only a backstop
// An unpaced replay has no clock to keep: it reads on while stdout's reader
// is no more than this behind, and otherwise waits for it.
constexpr std::size_t kReplayAhead = std::size_t{1} << 20;

void tell(const std::string& text) { write_stderr("vandry-monitor: " + text + "\n"); }

std::string source_name(const MonitorOptions& o) {
    return o.source == SourceKind::simulated ? "built-in device on " + o.path : o.path;
}

class Monitor {
public:
    explicit Monitor(const MonitorOptions& options)
        : options_(options),
          start_(now_seconds()),
          deadline_(options.seconds > 0 ? start_ + options.seconds : 0),
          view_({options.json || !stdout_is_terminal(), source_name(options), options.range_low, options.range_high,
                 options.stale_seconds},
                start_),
          udp_(options, start_) {}

    // Each source opens first, then the outputs: a source that cannot be
    // opened leaves no capture or SBUS file behind, created for nothing.
    int run() {
        switch (options_.source) {
            case SourceKind::simulated:
            case SourceKind::port: run_port(); break;
            case SourceKind::hidraw: run_hid(); break;
            case SourceKind::replay: run_replay(); break;
        }
        if (sbus_) sbus_->finish();
        const double end = now_seconds();  // the reading ends here; stdout's reader may still be behind
        // No summary after a source that never opened or failed before its first update.
        const bool summary = opened_ && !quiet_ && (status_ == 0 || view_.updates() != 0);
        if (opened_ && !view_gone_ && !view_.close(end, summary)) view_stopped();
        if (summary && !quiet_) {
            view_.summary(end);
            udp_.finish();
        }
        return status_;
    }

private:
    // ---- How the run ends

    bool enough_updates() const { return options_.frames != 0 && view_.updates() >= options_.frames; }

    bool should_stop(double now) const {
        return stop_ || stop_requested() || enough_updates() || (deadline_ != 0 && now >= deadline_);
    }

    bool fail(const std::string& message) {
        tell(message);
        status_ = 1;
        stop_ = true;
        return false;
    }

    // Nobody reads stdout any more (`| head -1`), or the terminal went away
    // with the hang-up that stops the run: that ends the run quietly.
    void view_stopped() {
        if (view_gone_) return;
        view_gone_ = true;
        if (view_.status() == WriteStatus::closed || stop_requested()) {
            quiet_ = stop_ = true;
        } else {
            fail(view_.error());
        }
    }

    // ---- Outputs

    bool open_outputs() {
        // Sockets first: they leave nothing behind when another output fails.
        if (const std::string problem = udp_.open(); !problem.empty()) return fail(problem);
        if (!options_.sbus_out.empty()) {
            if (const std::string problem = sbus_out_conflict(options_); !problem.empty()) return fail(problem);
            if (const std::string problem = sbus_line_.open(options_.sbus_out); !problem.empty()) return fail(problem);
            sbus_.emplace(sbus_line_, options_);
        }
        if (!options_.record_path.empty()) {
            const auto kind = options_.source == SourceKind::hidraw ? CaptureKind::reports : CaptureKind::port;
            if (const std::string problem = capture_.open(options_.record_path, kind); !problem.empty())
                return fail(problem);
        }
        return true;
    }

    void service(double now) {
        if (!view_.refresh(now)) view_stopped();
        if (sbus_ && !sbus_->service(now)) {
            fail(sbus_->error());
            sbus_.reset();  // said once; nothing more goes there
        }
        udp_.service(now);
    }

    double next_wake(double now) const {
        double wake = std::min(view_.next_refresh(now), now + kLongestWait);
        if (sbus_) wake = std::min(wake, sbus_->next_wake(now));
        wake = std::min(wake, udp_.next_wake(now));
        if (deadline_ != 0) wake = std::min(wake, deadline_);
        return wake;
    }

    double timeout(double now) const { return std::max(next_wake(now) - now, 0.0); }

    // Waits until `when`, keeping the outputs going; false if the run ends first.
    bool wait_until(double when) {
        for (double now = now_seconds(); now < when; now = now_seconds()) {
            if (should_stop(now)) return false;
            service(now);
            pause_for(std::min(when, next_wake(now)) - now);
        }
        return true;
    }

    // Keeps the outputs going while stdout's reader catches up; false if the run ends first.
    bool wait_for_stdout_reader() {
        for (double now = now_seconds(); view_.stdout_pending() > kReplayAhead; now = now_seconds()) {
            if (should_stop(now)) return false;
            service(now);
            wait_for_stdout(next_wake(now) - now);
        }
        return true;
    }

    std::uint64_t micros(double now) const { return static_cast<std::uint64_t>((now - start_) * 1e6); }

    // ---- Updates

    void record(std::uint64_t time_us, std::span<const std::uint8_t> bytes) {
        if (!capture_.is_open()) return;
        if (const std::string problem = capture_.write(time_us, bytes); !problem.empty()) fail(problem);
    }

    // ---- A backlog after a stall
    //
    // A read that follows the previous one after longer than the staleness
    // limit brings a backlog: the monitor (or the whole system) stalled while
    // the device went on sending, and the updates it brings are old. Stdout
    // and the json outputs keep every one (they are records); the outputs
    // that map values for a receiver (SBUS, betaflight, ardupilot) get only
    // the newest, once the port holds nothing more, so that a simulator never
    // takes seconds of old stick positions in a burst as fresh ones. The
    // backlog lasts while reads find more bytes already waiting.

    void begin_read(double now) {
        if (now - last_read_ > options_.stale_seconds) catching_up_ = true;
        last_read_ = now;
    }

    void end_read(bool more, double now) {
        if (!catching_up_ || more) return;
        catching_up_ = false;
        if (!held_back_) return;
        held_back_ = false;
        if (sbus_) sbus_->update(values_, now);
        udp_.values_update(values_, now);
    }

    // values_ holds the update's values; `json_line` is its line for the json outputs.
    void take_values(std::string_view json_line, double now) {
        if (catching_up_) {
            held_back_ = true;
            udp_.json_update(json_line, now);
            return;
        }
        if (sbus_) sbus_->update(values_, now);
        udp_.update(values_, json_line, now);
    }

    void take_port_bytes(std::span<const std::uint8_t> bytes, std::uint64_t time_us, double now) {
        record(time_us, bytes);
        feeder_.feed(bytes, [&](const PortRecords& records, std::uint8_t type) {
            if (!view_.port_update(records, time_us, now)) view_stopped();
            values_.take(records, type);
            take_values(udp_.wants_json() ? port_update_json(view_.updates(), time_us, records) : "", now);
            return !stop_ && !enough_updates();
        });
    }

    void take_report(std::span<const std::uint8_t> report, std::uint64_t time_us, double now) {
        record(time_us, report);
        if (report.size() > 255) return;  // longer than any report the library knows
        const auto length = static_cast<std::uint8_t>(report.size());
        game_controller_state state{};
        PortRecords& records = feeder_.records();
        bool shown = true;
        if (parse_hid_game_controller_device(&state, report.data(), length) != 0) {
            shown = view_.game_controller(state, time_us, now);
            udp_.unmapped_update(udp_.wants_json() ? game_controller_json(view_.updates(), time_us, state) : "", now);
        } else if (parse_hid_compatible_device(&records.channels, report.data(), length) != 0) {
            shown = view_.compatible(records.channels, time_us, now);
            values_.take(records.channels);
            take_values(udp_.wants_json() ? compatible_json(view_.updates(), time_us, records.channels) : "", now);
        }
        if (!shown) view_stopped();
    }

    // The parser may hold half a frame from before the port vanished; it
    // must not join the new session's bytes. A capture notes the place, so
    // that its replay does the same.
    void forget_old_session(double now) {
        feeder_.forget_pending_bytes();
        if (!capture_.is_open()) return;
        if (const std::string problem = capture_.write_reopened(micros(now)); !problem.empty()) fail(problem);
    }

    // ---- Sources

    void run_port() {
        if (const std::string problem = port_.open_serial(options_.path, options_.baud); !problem.empty()) {
            fail(problem);
            return;
        }
        if (!open_outputs()) return;  // nothing was asked of the device yet
        opened_ = true;
        if (send_request()) read_device(true);
        if (!port_.is_open()) return;
        // However the run ended, a port that is still there gets the stop
        // frame. A device that a stop request ended too (Ctrl-C reaches the
        // whole process group) needs none: the run ended as asked.
        std::array<std::uint8_t, VANDRY_STOP_UPLOAD_FRAME_SIZE> stop{};
        stop_upload_port_data(stop.data());
        const std::string problem = port_.write_all(stop);
        if (!problem.empty() && !stop_requested()) fail(problem + " (the stop frame)");
        port_.drain();
        port_.close();
    }

    void run_hid() {
        if (const std::string problem = port_.open_hid(options_.path); !problem.empty()) {
            fail(problem);
            return;
        }
        if (!open_outputs()) return;
        opened_ = true;
        read_device(false);
    }

    bool send_request() {
        std::array<std::uint8_t, VANDRY_REQUEST_UPLOAD_FRAME_SIZE> request{};
        request_upload_port_data(request.data(), options_.param1, options_.param2);
        const std::string problem = port_.write_all(request);
        if (!problem.empty()) fail(problem + " (the request frame)");
        return problem.empty();
    }

    void read_device(bool serial) {
        std::vector<std::uint8_t> buffer(kReadSize);
        last_read_ = now_seconds();
        while (!should_stop(now_seconds())) {
            const ReadResult r = port_.read(buffer.data(), buffer.size(), timeout(now_seconds()));
            const double now = now_seconds();
            const std::span<const std::uint8_t> got(buffer.data(), r.count);
            switch (r.status) {
                case ReadStatus::bytes:
                    begin_read(now);
                    serial ? take_port_bytes(got, micros(now), now) : take_report(got, micros(now), now);
                    end_read(r.more, now);
                    break;
                case ReadStatus::timeout: break;
                case ReadStatus::vanished:
                    port_.close();
                    // A stop and the device's end often come together (Ctrl-C
                    // reaches a whole process group): the run ended as asked.
                    if (stop_requested()) return;
                    if (!options_.reconnect) {
                        fail(r.error);
                        return;
                    }
                    tell(r.error + "; waiting for it to come back");
                    if (!reopen(serial)) return;
                    break;
                case ReadStatus::failed: fail(r.error); return;
            }
            service(now);
        }
    }

    // Waits for a vanished port to come back.
    bool reopen(bool serial) {
        for (double now = now_seconds(); !should_stop(now); now = now_seconds()) {
            service(now);
            const std::string problem = serial ? port_.open_serial(options_.path, options_.baud) : port_.open_hid(options_.path);
            if (problem.empty()) {
                if (serial) forget_old_session(now);
                if (serial && !send_request()) return false;
                tell(options_.path + " is back" + (serial ? "; request frame sent again" : ""));
                return true;
            }
            pause_for(std::min(kReconnectInterval, next_wake(now) - now));
        }
        return false;
    }

    // A recorded pause of minutes (or a damaged time) would look like a hang.
    static void say_long_silence(double seconds) {
        constexpr double kWorthSaying = 10;
        if (seconds < kWorthSaying) return;
        char text[160];
        std::snprintf(text, sizeof text,
                      "the capture is silent for %.0f s here; waiting as recorded (--replay-speed 0 does not wait)",
                      seconds);
        tell(text);
    }

    // A replay from a FIFO waits for its writer inside a read: what was read
    // before still reaches stdout and the outputs meanwhile, and the end of
    // the run (a stop, enough updates, stdout gone) ends the wait. Returns
    // how long the wait may last, or -1 to end it.
    double while_replay_waits() {
        const double now = now_seconds();
        if (!opened_) return kLongestWait;  // nothing to keep going yet; a stop or the deadline still ends the wait
        if (should_stop(now)) return -1;
        service(now);
        return should_stop(now) ? -1 : std::max(0.0, next_wake(now) - now);
    }

    void run_replay() {
        CaptureReader reader;
        // A FIFO's reads end early at a stop or the deadline: what they cut is no fault of the capture.
        const std::string problem = reader.open(options_.path, deadline_, [this] { return while_replay_waits(); });
        if (!problem.empty() && !should_stop(now_seconds())) fail(problem);
        if (!problem.empty()) return;
        if (!reader.is_open()) {  // a FIFO that no writer came to
            if (!stop_requested()) tell(options_.path + ": no writer came; nothing was replayed");
            return;
        }
        // 0 asks for what a raw file gets anyway; any other pace would be ignored.
        if (!reader.timed() && options_.replay_speed_given && options_.replay_speed != 0) {
            fail("--replay-speed goes with a capture: " + options_.path +
                 " has no capture header, so it is replayed as raw bytes, without timing");
            return;
        }
        if (!open_outputs()) return;
        opened_ = true;
        const bool paced = reader.timed() && options_.replay_speed > 0;
        const double replay_start = now_seconds();
        std::optional<std::uint64_t> first;
        std::vector<std::uint8_t> chunk;
        std::uint64_t time_us = 0;
        std::string message;
        while (!should_stop(now_seconds())) {
            const CaptureReader::Next next = reader.next(chunk, time_us, message);
            if (next == CaptureReader::Next::failed) {
                fail(message);
                return;
            }
            if (next == CaptureReader::Next::end) break;
            if (next == CaptureReader::Next::reopened) {
                forget_old_session(now_seconds());
                continue;
            }
            if (!first) first = time_us;
            const double offset = static_cast<double>(time_us - std::min(time_us, *first)) / 1e6;
            const double due = replay_start + offset / options_.replay_speed;
            if (paced) say_long_silence(due - now_seconds());
            if (paced ? !wait_until(due) : !wait_for_stdout_reader()) break;
            const double now = now_seconds();
            if (!reader.timed()) time_us = micros(now);
            if (reader.kind() == CaptureKind::reports) {
                take_report(chunk, time_us, now);
            } else {
                take_port_bytes(chunk, time_us, now);
            }
            service(now);
        }
        if (!message.empty() && !should_stop(now_seconds())) tell(message);
    }

    const MonitorOptions& options_;
    double start_;
    double deadline_;
    View view_;
    SbusLine sbus_line_;
    std::optional<SbusSender> sbus_;
    UdpOutputs udp_;
    DeviceValues values_;
    CaptureWriter capture_;
    Port port_;
    PortFeeder feeder_;
    double last_read_ = 0;     // when a read last brought bytes (or the device opened)
    bool catching_up_ = false;  // reading a backlog
    bool held_back_ = false;    // values the mapping outputs have not had yet
    bool opened_ = false;
    bool view_gone_ = false;
    bool stop_ = false;
    bool quiet_ = false;
    int status_ = 0;
};

}  // namespace

int run_monitor(MonitorOptions options) {
    install_stop_handlers();
    BuiltInDevice device;  // outlives the monitor's port: it ends on the stop frame
    if (options.source == SourceKind::simulated) {
        if (const std::string problem = device.start(options.simulator); !problem.empty()) {
            tell(problem);
            return 1;
        }
        options.path = device.path();
    }
    return Monitor(options).run();
}

}  // namespace vandry_tools
