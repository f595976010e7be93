// Which device value drives which output channel, and how it is scaled.
//
// A map has one rule per output channel 1..16. It is written as lines:
//
//   OUT=SOURCE[:LO:HI][:rev]   OUT follows SOURCE, whose range LO..HI
//                              (default 0..1200, the device's nominal range)
//                              is stretched onto the output's range
//   OUT=VALUE                  OUT is held at VALUE, in the output's units
//   # comment                  also after a rule; blank lines are fine
//
// SOURCE is chN (N = 1..15, the 15 channels) or bankB.N (B = 0 or 1,
// N = 1..16). An output without a rule holds the output range's centre
// (1500 µs for UDP). Each output may be set once.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "VandryInterface.h"

namespace vandry_bridge {

inline constexpr std::size_t kOutputCount = 16;
using OutputValues = std::array<std::uint16_t, kOutputCount>;

// What an output channel carries: UDP peers take pulse widths in µs, SBUS its
// 11-bit value.
struct OutputRange {
    std::uint16_t low;
    std::uint16_t high;
    // The centre, halves rounded up like the mapping rounds them.
    constexpr std::uint16_t neutral() const { return static_cast<std::uint16_t>(low + (high - low + 1) / 2); }
};
inline constexpr OutputRange kPulseRange{1000, 2000};
inline constexpr OutputRange kSbusRange{0, 2047};

inline constexpr std::uint16_t kNominalLow = 0;
inline constexpr std::uint16_t kNominalHigh = 1200;

// The records an output can read from.
enum class SourceRecord : std::uint8_t { channels, bank0, bank1 };

struct OutputRule {
    enum class Kind : std::uint8_t { neutral, fixed, mapped };
    Kind kind = Kind::neutral;
    SourceRecord record = SourceRecord::channels;
    std::uint8_t index = 0;  // from 0 within the record
    std::uint16_t in_low = kNominalLow;
    std::uint16_t in_high = kNominalHigh;
    bool reversed = false;
    std::uint16_t fixed_value = 0;
};

// The latest records; null until the device has sent that record.
struct SourceValues {
    const channel_values* channels = nullptr;
    const channel_banks* banks = nullptr;
};

// The records one update of the device carried: a frame of a payload type
// the monitor does not know carries neither.
struct CarriedRecords {
    bool channels = false;
    bool banks = false;
    bool has(SourceRecord record) const { return record == SourceRecord::channels ? channels : banks; }
};

// Scales one source value: clamped to in_low..in_high, stretched linearly
// onto the range, rounded to the nearest integer with halves rounded up, and
// for a reversed rule mirrored (low + high - value), so that reversing an
// output never moves it by a rounding step.
std::uint16_t map_value(std::uint16_t value, const OutputRule& rule, const OutputRange& range);

class ChannelMap {
public:
    // Output k follows source value k of the record: for the 15 channels,
    // output 16 holds the centre.
    static ChannelMap identity(SourceRecord record, OutputRange range);

    explicit ChannelMap(OutputRange range) : range_(range) {}

    // Nothing while a record that a rule reads has not arrived: values made
    // up from an empty record would fly a simulator on sticks nobody holds.
    std::optional<OutputValues> apply(const SourceValues& sources) const;
    bool reads(SourceRecord record) const;
    // Whether an update that carried `carried` brings an output of this map
    // fresh values: a record the map reads, or any update while the map
    // reads none (fixed values only) or still waits for one (so that the
    // output says what it waits for). Other frames must not keep positions
    // that stopped coming looking fresh.
    bool renewed_by(const SourceValues& sources, CarriedRecords carried) const;
    // What apply() waits for, for a message: "its 15 channels", "its banks",
    // or "" when it waits for nothing.
    std::string_view missing(const SourceValues& sources) const;

    // The same rules onto another output's range. A fixed value keeps its
    // place in the range: 1000 of 1000..2000 µs is 0 of SBUS's 0..2047.
    ChannelMap onto(OutputRange range) const;

    const OutputRange& range() const { return range_; }
    const OutputRule& rule(std::size_t output) const { return rules_[output]; }
    void set_rule(std::size_t output, const OutputRule& rule) { rules_[output] = rule; }

private:
    OutputRange range_;
    std::array<OutputRule, kOutputCount> rules_{};
};

// Builds a map from map files and single rules given on the command line.
// Every error names where the rule came from and what is wrong with it.
class ChannelMapParser {
public:
    explicit ChannelMapParser(OutputRange range) : map_(range) {}

    // One rule, comment or blank line; `where` prefixes the error, e.g.
    // "--map-channel 3=ch3".
    bool add_line(std::string_view line, std::string_view where, std::string& error);
    // Lines of a file's text; errors read "ORIGIN line N: ...".
    bool add_text(std::string_view text, std::string_view origin, std::string& error);
    bool add_file(const std::string& path, std::string& error);

    bool empty() const { return rules_added_ == 0; }
    const ChannelMap& map() const { return map_; }

private:
    ChannelMap map_;
    std::array<std::string, kOutputCount> set_at_;  // where each output got its rule
    std::size_t rules_added_ = 0;
};

}  // namespace vandry_bridge
