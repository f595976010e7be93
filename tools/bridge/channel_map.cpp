#include "channel_map.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "text.h"

namespace vandry_bridge {

namespace {

constexpr std::size_t kChannelCount = std::size(channel_values{}.channel);
constexpr std::size_t kBankSize = std::size(channel_banks{}.bank[0]);
// A map is a few dozen lines; anything this large is the wrong file.
constexpr std::size_t kMaxMapFileSize = 64 * 1024;

const char* const kRuleForms = "expected OUT=SOURCE[:LO:HI][:rev] or OUT=VALUE";
const char* const kSourceForms = "a source is ch1..ch15, bank0.1..bank0.16 or bank1.1..bank1.16";

std::uint16_t source_value(const SourceValues& sources, const OutputRule& rule) {
    switch (rule.record) {
    case SourceRecord::channels: return sources.channels->channel[rule.index];
    case SourceRecord::bank0: return sources.banks->bank[0][rule.index];
    case SourceRecord::bank1: return sources.banks->bank[1][rule.index];
    }
    return 0;
}

bool record_present(const SourceValues& sources, SourceRecord record) {
    return record == SourceRecord::channels ? sources.channels != nullptr : sources.banks != nullptr;
}

// "ch7" or "bank1.16" into a rule's record and index.
std::string parse_source(std::string_view text, OutputRule& rule) {
    std::optional<std::uint32_t> number;
    if (text.starts_with("ch")) {
        rule.record = SourceRecord::channels;
        number = parse_decimal(text.substr(2), 1, kChannelCount);
    } else if (text.starts_with("bank0.") || text.starts_with("bank1.")) {
        rule.record = text[4] == '0' ? SourceRecord::bank0 : SourceRecord::bank1;
        number = parse_decimal(text.substr(6), 1, kBankSize);
    }
    if (!number) return "unknown source " + quoted(text) + ": " + kSourceForms;
    rule.index = static_cast<std::uint8_t>(*number - 1);
    return {};
}

// The fields after the source: nothing, "rev", "LO:HI" or "LO:HI:rev".
std::string parse_source_options(const std::vector<std::string_view>& fields, OutputRule& rule) {
    std::size_t count = fields.size();
    if (count > 1 && fields[count - 1] == "rev") {
        rule.reversed = true;
        --count;
    }
    if (count == 1) return {};
    if (count != 3) return std::string(kRuleForms) + "; only LO:HI and rev may follow the source";
    const auto low = parse_decimal(fields[1], 0, 65535);
    const auto high = parse_decimal(fields[2], 0, 65535);
    if (!low || !high) {
        return "input range " + quoted(std::string(fields[1]) + ":" + std::string(fields[2])) +
               " needs two numbers in 0..65535";
    }
    if (*low >= *high) {
        return "input range " + std::to_string(*low) + ":" + std::to_string(*high) +
               ": LO must be below HI (add :rev to reverse an output)";
    }
    rule.in_low = static_cast<std::uint16_t>(*low);
    rule.in_high = static_cast<std::uint16_t>(*high);
    return {};
}

std::string parse_fixed(std::string_view text, const OutputRange& range, OutputRule& rule) {
    const auto value = parse_decimal(text, range.low, range.high);
    if (!value) {
        return "fixed value " + quoted(text) + " is not a number in the output range " + std::to_string(range.low) +
               ".." + std::to_string(range.high);
    }
    rule.kind = OutputRule::Kind::fixed;
    rule.fixed_value = static_cast<std::uint16_t>(*value);
    return {};
}

// The right-hand side of a rule.
std::string parse_rule(std::string_view text, const OutputRange& range, OutputRule& rule) {
    std::vector<std::string_view> fields = split(text, ':');
    for (std::string_view& field : fields) field = trim(field);
    if (fields[0].empty()) return kRuleForms;
    if (is_digit(fields[0][0])) {
        if (fields.size() == 1) return parse_fixed(fields[0], range, rule);
        return std::string("a fixed value stands alone; ") + kRuleForms;
    }
    rule.kind = OutputRule::Kind::mapped;
    std::string problem = parse_source(fields[0], rule);
    return problem.empty() ? parse_source_options(fields, rule) : problem;
}

// "OUT=..." into the output's index and its rule.
std::string parse_assignment(std::string_view text, const OutputRange& range, std::size_t& output, OutputRule& rule) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) return std::string(kRuleForms) + ", got " + quoted(text);
    const std::string_view out_text = trim(text.substr(0, equals));
    const auto number = parse_decimal(out_text, 1, kOutputCount);
    if (!number) return "output " + quoted(out_text) + " is not a channel 1..16";
    output = *number - 1;
    return parse_rule(text.substr(equals + 1), range, rule);
}

}  // namespace

std::uint16_t map_value(std::uint16_t value, const OutputRule& rule, const OutputRange& range) {
    const std::uint64_t clamped = value < rule.in_low ? rule.in_low : value > rule.in_high ? rule.in_high : value;
    const std::uint64_t span_in = rule.in_high - rule.in_low;
    const std::uint64_t span_out = range.high - range.low;
    // floor(x + 1/2) of x = (clamped - in_low) * span_out / span_in
    const std::uint64_t steps = (2 * (clamped - rule.in_low) * span_out + span_in) / (2 * span_in);
    const auto forward = static_cast<std::uint16_t>(range.low + steps);
    return rule.reversed ? static_cast<std::uint16_t>(range.low + range.high - forward) : forward;
}

ChannelMap ChannelMap::identity(SourceRecord record, OutputRange range) {
    ChannelMap map(range);
    const std::size_t count = record == SourceRecord::channels ? kChannelCount : kBankSize;
    for (std::size_t k = 0; k < count; ++k) {
        OutputRule rule;
        rule.kind = OutputRule::Kind::mapped;
        rule.record = record;
        rule.index = static_cast<std::uint8_t>(k);
        map.set_rule(k, rule);
    }
    return map;
}

std::optional<OutputValues> ChannelMap::apply(const SourceValues& sources) const {
    OutputValues out{};
    for (std::size_t k = 0; k < kOutputCount; ++k) {
        const OutputRule& rule = rules_[k];
        switch (rule.kind) {
        case OutputRule::Kind::neutral: out[k] = range_.neutral(); break;
        case OutputRule::Kind::fixed: out[k] = rule.fixed_value; break;
        case OutputRule::Kind::mapped:
            if (!record_present(sources, rule.record)) return std::nullopt;
            out[k] = map_value(source_value(sources, rule), rule, range_);
            break;
        }
    }
    return out;
}

bool ChannelMap::reads(SourceRecord record) const {
    for (const OutputRule& rule : rules_) {
        if (rule.kind == OutputRule::Kind::mapped && rule.record == record) return true;
    }
    return false;
}

bool ChannelMap::renewed_by(const SourceValues& sources, CarriedRecords carried) const {
    bool reads_any = false;
    for (const SourceRecord record : {SourceRecord::channels, SourceRecord::bank0, SourceRecord::bank1}) {
        if (!reads(record)) continue;
        if (carried.has(record)) return true;
        reads_any = true;
    }
    return !reads_any || !missing(sources).empty();
}

std::string_view ChannelMap::missing(const SourceValues& sources) const {
    if (reads(SourceRecord::channels) && !record_present(sources, SourceRecord::channels)) return "its 15 channels";
    const bool banks = reads(SourceRecord::bank0) || reads(SourceRecord::bank1);
    if (banks && !record_present(sources, SourceRecord::bank0)) return "its banks";
    return {};
}

ChannelMap ChannelMap::onto(OutputRange range) const {
    ChannelMap map(range);
    // A fixed value read as a source whose input range is this map's range.
    OutputRule place;
    place.kind = OutputRule::Kind::mapped;
    place.in_low = range_.low;
    place.in_high = range_.high;
    for (std::size_t k = 0; k < kOutputCount; ++k) {
        OutputRule rule = rules_[k];
        if (rule.kind == OutputRule::Kind::fixed) {
            // A range of one value has no places: everything is its low end.
            rule.fixed_value = range_.low < range_.high ? map_value(rule.fixed_value, place, range) : range.low;
        }
        map.set_rule(k, rule);
    }
    return map;
}

bool ChannelMapParser::add_line(std::string_view line, std::string_view where, std::string& error) {
    const std::string_view content = trim(line.substr(0, line.find('#')));
    if (content.empty()) return true;
    std::size_t output = 0;
    OutputRule rule;
    std::string problem = parse_assignment(content, map_.range(), output, rule);
    if (problem.empty() && !set_at_[output].empty()) {
        problem = "output " + std::to_string(output + 1) + " is already set at " + set_at_[output];
    }
    if (!problem.empty()) {
        error = std::string(where) + ": " + problem;
        return false;
    }
    map_.set_rule(output, rule);
    set_at_[output] = where;
    ++rules_added_;
    return true;
}

bool ChannelMapParser::add_text(std::string_view text, std::string_view origin, std::string& error) {
    // Windows editors may begin a file with a byte-order mark: UTF-8's is
    // no part of the first rule, and UTF-16 text (Windows PowerShell's `>`)
    // would otherwise fail on its first line with a row of \x00 bytes.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
        error = std::string(origin) + ": UTF-16 text; save the map as UTF-8 or ASCII";
        return false;
    }
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const std::string where = std::string(origin) + " line " + std::to_string(++number);
        if (!add_line(line, where, error)) return false;
    }
    return true;
}

bool ChannelMapParser::add_file(const std::string& path, std::string& error) {
    const auto fail = [&](const std::string& cause) {
        error = "cannot read the map " + path + ": " + cause;
        return false;
    };
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return fail(std::strerror(errno));
    std::string text(kMaxMapFileSize + 1, '\0');
    const std::size_t size = std::fread(text.data(), 1, text.size(), file.get());
    if (std::ferror(file.get())) return fail(std::strerror(errno));
    if (size > kMaxMapFileSize) return fail("larger than 64 KiB, not a channel map");
    text.resize(size);
    return add_text(text, path, error);
}

}  // namespace vandry_bridge
