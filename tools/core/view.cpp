#include "view.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vandry_tools {
namespace {

constexpr double kDrawInterval = 0.05;   // at most 20 redraws a second
constexpr double kTickInterval = 0.1;    // the age of stale data counts up this often
constexpr double kIdleInterval = 0.5;    // the clock in the header, when nothing else changes
// How often stdout is offered more of the backlog while its reader is
// behind: the loop cannot wait on stdout and on the port at once.
constexpr double kBacklogRetry = 0.01;
// Once a stop is requested, a reader that takes nothing this long is gone.
constexpr double kStalledReaderSeconds = 2.0;
constexpr int kHeaderLines = 3;          // title, state, blank
constexpr std::size_t kLabelWidth = 6;   // "ch 15 "
constexpr std::size_t kValueWidth = 6;   // " 65535"

std::string formatted(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

std::string plural(std::uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// A bar of `width` cells for `value` on the scale low..high; '<' and '>'
// at its ends mark values outside the scale.
std::string bar(unsigned value, unsigned low, unsigned high, std::size_t width) {
    const unsigned clipped = std::clamp(value, low, high);
    const auto filled = static_cast<std::size_t>(static_cast<double>(clipped - low) * static_cast<double>(width) /
                                                 static_cast<double>(high - low));
    std::string cells(width, ' ');
    cells.replace(0, filled, filled, '#');
    if (value < low) cells.front() = '<';
    if (value > high) cells.back() = '>';
    return "[" + cells + "]";
}

void channel_rows(const Screen& s, std::size_t width, std::vector<std::string>& out) {
    const std::size_t room = width > kLabelWidth + kValueWidth + 2 ? width - kLabelWidth - kValueWidth - 2 : 0;
    const std::size_t bar_width = std::min<std::size_t>(room, 60);
    for (int k = 0; k < 15; ++k) {
        const unsigned v = s.port.channels.channel[k];
        const std::string shown = bar_width >= 4 ? bar(v, s.range_low, s.range_high, bar_width) : "";
        out.push_back(formatted("ch %2d ", k + 1) + shown + formatted("%6u", v));
    }
}

void bank_rows(const Screen& s, std::size_t width, std::vector<std::string>& out) {
    const std::size_t room = (width - std::min(width, kLabelWidth + 1)) / kValueWidth;
    std::size_t per_row = 16;  // halved until it fits, so that the rows come out even
    while (per_row > 1 && per_row > room) per_row /= 2;
    for (int b = 0; b < 2; ++b) {
        std::string line = formatted("bank %d ", b);
        for (std::size_t k = 0; k < 16; ++k) {
            if (k != 0 && k % per_row == 0) {
                out.push_back(line);
                line = std::string(kLabelWidth + 1, ' ');
            }
            line += formatted("%6u", s.port.banks.bank[b][k]);
        }
        out.push_back(line);
    }
}

std::array<std::uint16_t, 11> fields_of(const game_controller_state& g) {
    return {g.value_0, g.value_1, g.value_2, g.value_3, g.value_4, g.value_5,
            g.value_6, g.value_7, g.value_8, g.value_9, g.value_10};
}

void game_rows(const Screen& s, std::vector<std::string>& out) {
    const auto fields = fields_of(s.game);
    for (int k = 0; k < 11; ++k) out.push_back(formatted("value_%-2d %6u", k, fields[static_cast<std::size_t>(k)]));
}

std::string state_line(const Screen& s) {
    if (s.age < 0) return "waiting for the device";
    const std::string scale = formatted("   bars %u..%u, < > outside", s.range_low, s.range_high);
    if (s.stale) return formatted("stale: no data for %.1f s", s.age) + scale;
    return "receiving" + scale;
}

JsonLine json_start(std::uint64_t update, std::uint64_t time_us) {
    JsonLine line;
    line.number("update", update).seconds("time", time_us);
    return line;
}

}  // namespace

std::string port_update_json(std::uint64_t update, std::uint64_t time_us, const PortRecords& records) {
    const std::span<const std::uint16_t> banks(&records.banks.bank[0][0], 32);
    return json_start(update, time_us).values("channels", records.channels.channel).rows("banks", banks, 16).finish();
}

std::string game_controller_json(std::uint64_t update, std::uint64_t time_us, const game_controller_state& state) {
    return json_start(update, time_us).values("game_controller", fields_of(state)).finish();
}

std::string compatible_json(std::uint64_t update, std::uint64_t time_us, const channel_values& channels) {
    return json_start(update, time_us).values("channels", channels.channel).finish();
}

std::vector<std::string> screen_lines(const Screen& s, TerminalSize size) {
    const auto width = static_cast<std::size_t>(std::max(1, size.columns - 1));
    const auto room = static_cast<std::size_t>(std::max(1, size.rows - 1));
    std::vector<std::string> lines{
        formatted("vandry-monitor  %s  ", s.source.c_str()) + plural(s.updates, "update") +
            formatted("  %.1f/s  %.1f s", s.rate, s.elapsed),
        state_line(s), ""};
    std::vector<std::string> body;
    if (s.kind == Screen::Kind::game_controller) {
        game_rows(s, body);
    } else if (s.kind != Screen::Kind::nothing) {
        channel_rows(s, width, body);
        if (s.kind == Screen::Kind::port) {
            body.emplace_back();
            bank_rows(s, width, body);
        }
    }
    if (lines.size() + body.size() > room && room > lines.size()) {
        const std::size_t shown = room - lines.size() - 1;
        const std::size_t hidden = body.size() - shown;
        body.resize(shown);
        body.push_back("... " + plural(hidden, "more line"));
    }
    lines.insert(lines.end(), body.begin(), body.end());
    lines.resize(std::min(lines.size(), room));
    for (auto& line : lines) line.resize(std::min(line.size(), width));
    return lines;
}

View::View(ViewSettings settings, double start) : settings_(std::move(settings)), start_(start), rate_since_(start) {
    screen_.source = settings_.source;
    screen_.range_low = settings_.range_low;
    screen_.range_high = settings_.range_high;
}

bool View::write(const std::string& text) { return out_.write(text); }

void View::count(double now) {
    ++screen_.updates;
    last_update_ = now;
    dirty_ = true;
    if (now - rate_since_ >= 1.0) {
        screen_.rate = static_cast<double>(screen_.updates - rate_updates_) / (now - rate_since_);
        rate_since_ = now;
        rate_updates_ = screen_.updates;
    }
}

bool View::port_update(const PortRecords& records, std::uint64_t time_us, double now) {
    screen_.kind = Screen::Kind::port;
    screen_.port = records;
    count(now);
    return !settings_.json || write(port_update_json(screen_.updates, time_us, records));
}

bool View::game_controller(const game_controller_state& g, std::uint64_t time_us, double now) {
    screen_.kind = Screen::Kind::game_controller;
    screen_.game = g;
    count(now);
    return !settings_.json || write(game_controller_json(screen_.updates, time_us, g));
}

bool View::compatible(const channel_values& channels, std::uint64_t time_us, double now) {
    screen_.kind = Screen::Kind::compatible;
    screen_.port.channels = channels;
    count(now);
    return !settings_.json || write(compatible_json(screen_.updates, time_us, channels));
}

double View::next_refresh(double now) const {
    if (!out_.empty()) return now + kBacklogRetry;
    if (settings_.json) return now + 3600;
    if (dirty_) return last_draw_ + kDrawInterval;
    if (screen_.updates == 0) return last_draw_ + kIdleInterval;
    const double stale_at = last_update_ + settings_.stale_seconds;
    return now < stale_at ? std::min(stale_at, last_draw_ + kIdleInterval) : last_draw_ + kTickInterval;
}

bool View::refresh(double now) {
    if (!out_.hand_over() || settings_.json) return out_.status() == WriteStatus::ok;
    if (take_terminal_resized()) clear_ = dirty_ = true;
    // A view waiting behind the previous one would be old when shown: the
    // next one is drawn once stdout has taken the previous.
    if (out_.empty() && now >= next_refresh(now)) draw(now);
    return out_.status() == WriteStatus::ok;
}

void View::draw(double now) {
    screen_.elapsed = now - start_;
    screen_.age = screen_.updates == 0 ? -1 : now - last_update_;
    screen_.stale = screen_.updates != 0 && screen_.age > settings_.stale_seconds;
    std::string text = clear_ ? "\x1b[2J\x1b[H" : "\x1b[H";
    const std::vector<std::string> lines = screen_lines(screen_, terminal_size());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const bool dim = screen_.stale && k >= kHeaderLines;
        text += (dim ? "\x1b[2m" + lines[k] + "\x1b[22m" : lines[k]) + "\x1b[K\r\n";
    }
    text += "\x1b[J";
    write(text);
    last_draw_ = now;
    dirty_ = clear_ = false;
}

bool View::close(double now, bool last_view) {
    if (last_view && !settings_.json && out_.status() == WriteStatus::ok) draw(now);
    return out_.drain(kStalledReaderSeconds);
}

void View::summary(double end) const {
    write_stderr("vandry-monitor: " + plural(screen_.updates, "update") + formatted(" in %.1f s\n", end - start_));
}

}  // namespace vandry_tools
