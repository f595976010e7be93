// What the monitor shows: JSON lines, or a live view on a terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "VandryInterface.h"

namespace vandry_monitor {

struct PortRecords {
    channel_values channels{};
    channel_banks banks{};
};

std::string port_json(const PortRecords& records, std::uint64_t update);
std::string game_controller_json(const game_controller_state& state, std::uint64_t update);
std::string compatible_json(const channel_values& channels, std::uint64_t update);

class View {
public:
    View(bool json, std::string source_name);

    // Each returns false when stdout can no longer be written.
    bool port_update(const PortRecords& records);
    bool game_controller(const game_controller_state& state);
    bool compatible(const channel_values& channels);
    void refresh(double now);  // redraws the live view, at most 20 times a second
    void finish(double now);

    std::uint64_t updates() const { return updates_; }

private:
    bool emit(const std::string& line);
    void count_update(double now);
    void draw(double now);

    enum class Shown { nothing, port, game, compatible };
    bool json_;
    std::string source_;
    Shown shown_ = Shown::nothing;
    PortRecords port_{};
    game_controller_state game_{};
    std::uint64_t updates_ = 0;
    double started_ = 0;
    double last_draw_ = -1;
    double rate_window_start_ = 0;
    std::uint64_t rate_window_updates_ = 0;
    double rate_ = 0;
    bool dirty_ = true;
};

}  // namespace vandry_monitor
