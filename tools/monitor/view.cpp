#include "view.h"

#include <ctime>
#include <utility>

#include "json.h"

namespace vandry_monitor {
namespace {

using vandry_tools::json_list;

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

constexpr int kBarWidth = 40;
constexpr unsigned kBarFullScale = 2047;

std::string bar(unsigned value) {
    const unsigned clipped = value > kBarFullScale ? kBarFullScale : value;
    const auto filled = static_cast<std::size_t>(clipped * kBarWidth / kBarFullScale);
    std::string out(kBarWidth + 2, ' ');
    out.front() = '[';
    out.back() = ']';
    out.replace(1, filled, filled, '#');
    return out;
}

std::string row_of(const std::uint16_t* values, std::size_t count) {
    std::string out;
    char cell[12];
    for (std::size_t k = 0; k < count; ++k) {
        std::snprintf(cell, sizeof cell, "%5u", values[k]);
        out += cell;
    }
    return out;
}

}  // namespace

// {"update":N, then the named lists, then }.
std::string json_object(std::uint64_t update, std::initializer_list<std::pair<const char*, std::string>> fields) {
    std::string out = "{\"update\":";
    out += std::to_string(update);
    for (const auto& [name, value] : fields) {
        out += ",\"";
        out += name;
        out += "\":";
        out += value;
    }
    out += '}';
    return out;
}

std::string port_json(const PortRecords& r, std::uint64_t update) {
    std::string banks = "[";
    banks += json_list(r.banks.bank[0], 16);
    banks += ',';
    banks += json_list(r.banks.bank[1], 16);
    banks += ']';
    return json_object(update, {{"channels", json_list(r.channels.channel, 15)}, {"banks", banks}});
}

std::string game_controller_json(const game_controller_state& s, std::uint64_t update) {
    const std::uint16_t fields[11] = {s.value_0, s.value_1, s.value_2, s.value_3, s.value_4, s.value_5,
                                      s.value_6, s.value_7, s.value_8, s.value_9, s.value_10};
    return json_object(update, {{"game_controller", json_list(fields, 11)}});
}

std::string compatible_json(const channel_values& c, std::uint64_t update) {
    return json_object(update, {{"channels", json_list(c.channel, 15)}});
}

View::View(bool json, std::string source_name) : json_(json), source_(std::move(source_name)) {
    started_ = now_seconds();
    rate_window_start_ = started_;
}

bool View::port_update(const PortRecords& records) {
    port_ = records;
    shown_ = Shown::port;
    count_update(now_seconds());
    return json_ ? emit(port_json(records, updates_)) : true;
}

bool View::game_controller(const game_controller_state& state) {
    game_ = state;
    shown_ = Shown::game;
    count_update(now_seconds());
    return json_ ? emit(game_controller_json(state, updates_)) : true;
}

bool View::compatible(const channel_values& channels) {
    port_.channels = channels;
    shown_ = Shown::compatible;
    count_update(now_seconds());
    return json_ ? emit(compatible_json(channels, updates_)) : true;
}

bool View::emit(const std::string& line) {
    return std::fprintf(stdout, "%s\n", line.c_str()) > 0 && std::fflush(stdout) == 0;
}

void View::count_update(double now) {
    ++updates_;
    dirty_ = true;
    if (now - rate_window_start_ >= 1.0) {
        rate_ = static_cast<double>(updates_ - rate_window_updates_) / (now - rate_window_start_);
        rate_window_start_ = now;
        rate_window_updates_ = updates_;
    }
}

void View::refresh(double now) {
    if (json_ || !dirty_ || now - last_draw_ < 0.05) return;
    draw(now);
}

void View::draw(double now) {
    std::string screen = "\x1b[H\x1b[2J";
    char line[160];
    std::snprintf(line, sizeof line, "vandry-monitor  %s  updates %llu  %.1f/s  %.1f s\n\n", source_.c_str(),
                  static_cast<unsigned long long>(updates_), rate_, now - started_);
    screen += line;
    if (shown_ == Shown::game) {
        const std::uint16_t fields[11] = {game_.value_0, game_.value_1, game_.value_2, game_.value_3,
                                          game_.value_4, game_.value_5, game_.value_6, game_.value_7,
                                          game_.value_8, game_.value_9, game_.value_10};
        for (int k = 0; k < 11; ++k) {
            std::snprintf(line, sizeof line, "value_%-2d %6u\n", k, fields[k]);
            screen += line;
        }
    } else {
        for (int k = 0; k < 15; ++k) {
            const unsigned v = port_.channels.channel[k];
            std::snprintf(line, sizeof line, "ch %2d %s %5u\n", k + 1, bar(v).c_str(), v);
            screen += line;
        }
        if (shown_ != Shown::compatible) {
            screen += "\nbank 0";
            screen += row_of(port_.banks.bank[0], 16);
            screen += "\nbank 1";
            screen += row_of(port_.banks.bank[1], 16);
            screen += '\n';
        }
    }
    std::fputs(screen.c_str(), stdout);
    std::fflush(stdout);
    last_draw_ = now;
    dirty_ = false;
}

void View::finish(double now) {
    if (!json_) draw(now);
    std::fprintf(stderr, "vandry-monitor: %llu updates in %.1f s\n", static_cast<unsigned long long>(updates_),
                 now - started_);
}

}  // namespace vandry_monitor
