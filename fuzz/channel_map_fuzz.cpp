// Fuzz target for the channel map parser of --map: the input is a map
// file's text, read onto the UDP or the SBUS range (its first byte chooses).
// Whether the text is taken, and the rules it gives, are checked against a
// plain reading of the rule syntax that tools/bridge/channel_map.h
// describes; every error must be one printable line that names where the
// rule came from, and every value the map produces must lie in its range.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel_map.h"

namespace {

using namespace vandry_bridge;
using Kind = OutputRule::Kind;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view strip(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// Decimal digits only, any number of them, in [low, high].
std::optional<unsigned> number(std::string_view s, unsigned low, unsigned high) {
    if (s.empty()) return std::nullopt;
    unsigned long long value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 1000000) value = 1000000;  // far above any bound
    }
    if (value < low || value > high) return std::nullopt;
    return static_cast<unsigned>(value);
}

std::vector<std::string_view> fields_of(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t from = 0;
    for (std::size_t k = 0; k <= s.size(); ++k) {
        if (k == s.size() || s[k] == ':') {
            out.push_back(strip(s.substr(from, k - from)));
            from = k + 1;
        }
    }
    return out;
}

// One rule's right-hand side, or nothing when it is not one.
std::optional<OutputRule> rule_of(std::string_view rhs, OutputRange range) {
    std::vector<std::string_view> f = fields_of(rhs);
    OutputRule rule;
    if (f[0].empty()) return std::nullopt;
    if (f[0][0] >= '0' && f[0][0] <= '9') {
        const auto value = f.size() == 1 ? number(f[0], range.low, range.high) : std::nullopt;
        if (!value) return std::nullopt;
        rule.kind = Kind::fixed;
        rule.fixed_value = static_cast<std::uint16_t>(*value);
        return rule;
    }
    rule.kind = Kind::mapped;
    std::optional<unsigned> source;
    if (f[0].substr(0, 2) == "ch") {
        source = number(f[0].substr(2), 1, 15);
    } else if (f[0].substr(0, 6) == "bank0." || f[0].substr(0, 6) == "bank1.") {
        rule.record = f[0][4] == '0' ? SourceRecord::bank0 : SourceRecord::bank1;
        source = number(f[0].substr(6), 1, 16);
    }
    if (!source) return std::nullopt;
    rule.index = static_cast<std::uint8_t>(*source - 1);
    if (f.size() > 1 && f.back() == "rev") {
        rule.reversed = true;
        f.pop_back();
    }
    if (f.size() == 1) return rule;
    if (f.size() != 3) return std::nullopt;
    const auto low = number(f[1], 0, 65535), high = number(f[2], 0, 65535);
    if (!low || !high || *low >= *high) return std::nullopt;
    rule.in_low = static_cast<std::uint16_t>(*low);
    rule.in_high = static_cast<std::uint16_t>(*high);
    return rule;
}

struct Expected {
    bool taken = true;
    std::optional<OutputRule> rules[kOutputCount];
};

Expected expected(std::string_view text, OutputRange range) {
    Expected e;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") return {false, {}};
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        line = strip(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        const std::size_t equals = line.find('=');
        const auto out = equals == std::string_view::npos ? std::nullopt : number(strip(line.substr(0, equals)), 1, 16);
        const auto rule = out ? rule_of(line.substr(equals + 1), range) : std::nullopt;
        if (!rule || e.rules[*out - 1]) return {false, {}};
        e.rules[*out - 1] = rule;
    }
    return e;
}

bool same(const OutputRule& a, const OutputRule& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == Kind::fixed) return a.fixed_value == b.fixed_value;
    return a.kind == Kind::neutral || (a.record == b.record && a.index == b.index && a.in_low == b.in_low &&
                                       a.in_high == b.in_high && a.reversed == b.reversed);
}

bool printable_line(const std::string& s) {
    for (const char c : s)
        if (c < 0x20 || c >= 0x7F) return false;
    return !s.empty();
}

void check_values(const ChannelMap& map, const std::uint8_t* seed, std::size_t size) {
    channel_values channels;
    channel_banks banks;
    for (std::size_t k = 0; k < 15; ++k)
        channels.channel[k] = static_cast<std::uint16_t>(size ? seed[k % size] * 257u : 600);
    for (std::size_t k = 0; k < 32; ++k)
        banks.bank[k / 16][k % 16] = static_cast<std::uint16_t>(size ? seed[(k + 7) % size] * 131u : 0);
    for (const ChannelMap& m : {map, map.onto(kSbusRange), map.onto(kPulseRange)}) {
        const auto out = m.apply({&channels, &banks});
        check(out.has_value());
        for (std::uint16_t v : *out) check(v >= m.range().low && v <= m.range().high);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const OutputRange range = data[0] & 1 ? kSbusRange : kPulseRange;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const Expected want = expected(text, range);
    ChannelMapParser parser(range);
    std::string error;
    const bool taken = parser.add_text(text, "sticks.map", error);
    check(taken == want.taken);
    if (!taken) {
        check(printable_line(error) && error.starts_with("sticks.map"));
        return 0;
    }
    for (std::size_t k = 0; k < kOutputCount; ++k) {
        const OutputRule& got = parser.map().rule(k);
        check(want.rules[k] ? same(got, *want.rules[k]) : got.kind == Kind::neutral);
    }
    check_values(parser.map(), data + 1, size - 1);
    return 0;
}
