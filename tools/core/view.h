// What the monitor shows: one JSON line per update, or a live view that
// fits the terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VandryInterface.h"
#include "json.h"
#include "platform.h"
#include "port_feeder.h"
#include "stdout_backlog.h"

namespace vandry_tools {

// The live view at one moment.
struct Screen {
    enum class Kind { nothing, port, game_controller, compatible };

    std::string source;
    std::uint64_t updates = 0;
    double rate = 0;     // updates per second, lately
    double elapsed = 0;  // seconds since the start
    double age = -1;     // seconds since the last update; below 0: none yet
    bool stale = false;
    Kind kind = Kind::nothing;
    PortRecords port;
    game_controller_state game{};
    unsigned range_low = 0;
    unsigned range_high = 1200;
};

// The view's lines: none longer than the terminal is wide (less one column,
// so that nothing wraps), and fewer than it is tall.
std::vector<std::string> screen_lines(const Screen& screen, TerminalSize size);

// The JSON object of one update, with its newline: what --json prints and
// the json UDP format sends.
std::string port_update_json(std::uint64_t update, std::uint64_t time_us, const PortRecords& records);
std::string game_controller_json(std::uint64_t update, std::uint64_t time_us, const game_controller_state& state);
std::string compatible_json(std::uint64_t update, std::uint64_t time_us, const channel_values& channels);

struct ViewSettings {
    bool json = false;
    std::string source;
    unsigned range_low = 0;
    unsigned range_high = 1200;
    double stale_seconds = 0.5;
};

class View {
public:
    View(ViewSettings settings, double start);

    // Each returns false when stdout can take no more: see status().
    bool port_update(const PortRecords& records, std::uint64_t time_us, double now);
    bool game_controller(const game_controller_state& state, std::uint64_t time_us, double now);
    bool compatible(const channel_values& channels, std::uint64_t time_us, double now);
    // Hands stdout what it takes of the backlog, and draws the live view
    // when it is due (not while stdout has yet to take the previous one).
    bool refresh(double now);
    double next_refresh(double now) const;  // when refresh() has something to do
    // After the run: the last view (if `last_view`), and the wait for stdout's reader to take
    // everything (see StdoutBacklog::drain). False as the writes are.
    bool close(double now, bool last_view);
    void summary(double end) const;  // on stderr: the updates, and how long the run read them

    std::uint64_t updates() const { return screen_.updates; }
    std::size_t stdout_pending() const { return out_.pending(); }  // bytes stdout's reader has yet to take
    WriteStatus status() const { return out_.status(); }
    const std::string& error() const { return out_.error(); }

private:
    void count(double now);
    bool write(const std::string& text);
    void draw(double now);

    ViewSettings settings_;
    double start_;
    Screen screen_;
    double last_update_ = 0;
    double last_draw_ = -1;
    double rate_since_ = 0;
    std::uint64_t rate_updates_ = 0;
    bool dirty_ = true;
    bool clear_ = true;
    StdoutBacklog out_;
};

}  // namespace vandry_tools
