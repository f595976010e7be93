#include "monitor_options.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform.h"
#include "text.h"

namespace vandry_tools {
namespace {

constexpr double kSbusFramesPerSecond = 333;  // a 25-byte 8E2 frame at 100000 baud takes 3 ms
constexpr double kUdpDatagramsPerSecond = 1000;  // the run's waits are counted in milliseconds

std::string baud_list() {
    std::string out;
    for (unsigned rate : supported_baud_rates()) {
        if (!out.empty()) out += ", ";
        out += std::to_string(rate);
    }
    return out;
}

bool same_endpoint(const vandry_bridge::UdpEndpoint& a, const vandry_bridge::UdpEndpoint& b) {
    return a.family == b.family && a.address == b.address && a.port == b.port;
}

struct MonitorCommand {
    MonitorOptions& o;
    int sbus_source = 0;
    double stale_ms = 500;
    std::string range;
    std::vector<int> udp_formats_given;  // per --udp-out
    std::string udp_problem;             // the first one, said after the parse
    std::vector<std::pair<bool, std::string>> map_sources;  // in order: (a file?, the path or the rule)
    OptionParser parser{"vandry-monitor", "[source] [options]", description()};

    explicit MonitorCommand(MonitorOptions& options) : o(options) {
        o.simulator.payload_types = {0, 1, 2};
        parser.section("Sources (one at most)");
        add_source("port", SourceKind::port, "PATH",
                   std::string("a serial port, e.g. ") + system_traits().serial_port_example +
                       " (raw 8N1; --list-ports shows them)");
        add_source("hidraw", SourceKind::hidraw, "PATH",
                   std::string("a hidraw device, e.g. /dev/hidraw0 (19- and 35-byte reports)") +
                       (system_traits().has_hidraw ? "" : "; Linux only"));
        add_source("replay", SourceKind::replay, "FILE",
                   "a capture made with --record (a file without the capture header is replayed as raw port bytes)");
        parser.section("Port and device");
        parser.add("baud", "N", "the port's speed (default 115200)", [this](std::string_view value) {
            std::uint64_t n = 0;
            for (unsigned rate : supported_baud_rates()) {
                if (OptionParser::parse_number(value, rate, rate, n)) {
                    o.baud = rate;
                    return std::string();
                }
            }
            return "takes one of " + baud_list();
        });
        parser.number("param1", "N", o.param1, 0, 255, "first argument byte of the request frame (default 0)");
        parser.number("param2", "N", o.param2, 0, 255, "second argument byte of the request frame (default 0)");
        parser.flag("reconnect", o.reconnect,
                    "when the port or HID device vanishes (unplugged), wait for it, open it again and send the "
                    "request frame again, instead of ending");
        parser.text("record", "FILE", o.record_path,
                    "keep what is read, with when it arrived, in a new capture FILE (never overwritten)");
        parser.real("replay-speed", "X", o.replay_speed, 0, 1000,
                    "replay at X times the recorded pace (default 1; 0: as fast as possible)");
        parser.section("When to stop (otherwise at Ctrl-C, SIGTERM, SIGHUP or SIGQUIT)");
        parser.number("frames", "N", o.frames, 1, UINT64_MAX, "after N updates");
        parser.positive("seconds", "S", o.seconds, 1e7, "after S seconds");
        parser.section("Output");
        parser.flag("json", o.json,
                    "one JSON object per update on stdout, with its time in seconds since the start (the default "
                    "when stdout is not a terminal)");
        parser.text("range", "LO:HI", range,
                    "the live view's bar scale (default 0:1200, the range convert_std_sbus_data maps onto SBUS); "
                    "values outside it are marked");
        parser.number("stale-ms", "MS", stale_ms, 1, 3600000,
                      "data older than MS milliseconds is stale (default 500): the live view marks it, and the SBUS "
                      "and UDP outputs stop sending until fresh data comes, so that the receiver or simulator goes "
                      "to its own failsafe");
        parser.text("sbus-out", "PATH", o.sbus_out,
                    "write 25-byte SBUS frames to PATH: a serial device (set to 100000 baud 8E2; the line needs an "
                    "inverter), a FIFO or a new file");
        parser.positive("sbus-rate", "HZ", o.sbus_rate, kSbusFramesPerSecond,
                        "send SBUS frames at this rate (at most 333, what the line carries) instead of one per update");
        parser.choice("sbus-source", {"channels", "bank0", "bank1"}, sbus_source,
                      "what the SBUS frames carry (default channels; channel 16 is then 0)");
        add_udp_options();
        add_map_options();
        parser.section(system_traits().has_built_in_device ? "Built-in device" : "Built-in device (Linux only)");
        add_stream_options(parser, o.simulator, "sim-");
        parser.section("Ports");
        parser.flag("list-ports", o.list_ports, "list this machine's serial ports for --port, and end");
    }

    void add_udp_options() {
        parser.section("UDP outputs (to a flight simulator or any program on this machine)");
        parser.add("udp-out", "HOST:PORT",
                   "send a datagram per update to HOST:PORT: an IPv4 address, [IPv6]:PORT, or localhost "
                   "(127.0.0.1; [localhost] is ::1); names are not looked up. Repeat it for several outputs, each "
                   "followed by its --udp-format",
                   [this](std::string_view value) {
                       std::string error;
                       auto endpoint = vandry_bridge::parse_udp_endpoint(value, error);
                       if (!endpoint) note_udp_problem(error);
                       o.udp_outputs.push_back({endpoint.value_or(vandry_bridge::UdpEndpoint{}), {}});
                       udp_formats_given.push_back(0);
                       return std::string();
                   });
        parser.repeatable("udp-out");
        const std::string formats = "betaflight|ardupilot|ardupilot8|json";
        parser.add("udp-format", formats,
                   "the datagram of the --udp-out before it: betaflight (a double timestamp, then 16 channels: 40 "
                   "bytes), ardupilot (16 channels: 32 bytes), ardupilot8 (8 channels: 16 bytes), each channel a "
                   "little-endian uint16 pulse width in microseconds; or json (the JSON line of --json)",
                   [this, formats](std::string_view value) {
                       const auto format = vandry_bridge::parse_udp_format(value);
                       if (!format) return "takes one of " + formats;
                       if (o.udp_outputs.empty()) {
                           note_udp_problem("--udp-format " + std::string(value) +
                                            " comes before any --udp-out; each --udp-format sets the format of the "
                                            "--udp-out before it");
                       } else {
                           o.udp_outputs.back().format = *format;
                           ++udp_formats_given.back();
                       }
                       return std::string();
                   });
        parser.repeatable("udp-format");
        parser.positive("udp-rate", "HZ", o.udp_rate, kUdpDatagramsPerSecond,
                        "send the UDP datagrams at this rate (at most 1000) instead of one per update");
    }

    void add_map_options() {
        parser.section("Channel map (for --sbus-out and the UDP outputs but json)");
        parser.add("map", "FILE",
                   "which device value drives each output channel: lines of OUT=SOURCE[:LO:HI][:rev] or OUT=VALUE "
                   "(see the manual page)",
                   [this](std::string_view value) { return add_map_source(true, value); });
        parser.add("map-channel", "RULE",
                   "one rule of the map, like 1=ch2:0:1200:rev; repeat it for several",
                   [this](std::string_view value) { return add_map_source(false, value); });
        parser.repeatable("map-channel");
    }

    std::string add_map_source(bool file, std::string_view value) {
        if (value.empty()) return "takes a non-empty value";
        map_sources.emplace_back(file, std::string(value));
        return {};
    }

    void note_udp_problem(const std::string& problem) {
        if (udp_problem.empty()) udp_problem = problem;
    }

    // Each --udp-out has one --udp-format after it, and a place of its own.
    std::string check_udp_outputs() const {
        if (!udp_problem.empty()) return udp_problem;
        const auto& outputs = o.udp_outputs;
        for (std::size_t k = 0; k < outputs.size(); ++k) {
            const std::string& name = outputs[k].endpoint.text;
            if (udp_formats_given[k] == 0)
                return "--udp-out " + name + " needs a --udp-format after it (" +
                       std::string(vandry_bridge::kUdpFormatNames) + ")";
            if (udp_formats_given[k] > 1) return "--udp-out " + name + " has more than one --udp-format";
            for (std::size_t j = 0; j < k; ++j) {
                if (same_endpoint(outputs[j].endpoint, outputs[k].endpoint))
                    return "--udp-out " + outputs[j].endpoint.text + " and " + name + " are the same endpoint";
            }
        }
        return {};
    }

    bool has_pulse_output() const {
        return std::any_of(o.udp_outputs.begin(), o.udp_outputs.end(),
                           [](const UdpOutputOptions& u) { return u.format != vandry_bridge::UdpFormat::json; });
    }

    // The map's files and rules, in the order given; every error names the
    // file and line, or the rule.
    std::string load_map() {
        if (map_sources.empty()) return {};
        vandry_bridge::ChannelMapParser map(vandry_bridge::kPulseRange);
        std::string error;
        for (const auto& [file, text] : map_sources) {
            const bool ok = file ? map.add_file(text, error)
                                 : map.add_line(text, "--map-channel " + vandry_bridge::printable(text), error);
            if (!ok) return error;
        }
        if (map.empty()) return "the channel map has no rule: every output would hold its centre";
        o.map = map.map();
        return {};
    }

    static std::string description() {
        return std::string("Shows what a Vandry device sends, as a live view on a terminal or as JSON lines. ") +
               (system_traits().has_built_in_device
                    ? "With no source it runs against a built-in simulated device, so that you can see it work "
                      "without hardware."
                    : "The built-in simulated device, which runs when no source is given, is Linux-only: here give "
                      "--port or --replay.");
    }

    std::string list_ports_alone() const {
        return parser.given_count() > 1 ? "--list-ports takes no other option" : "";
    }

    // What this system cannot do, said before anything starts.
    std::string unavailable() const {
        if (o.list_ports) return {};
        if (o.source == SourceKind::simulated && !system_traits().has_built_in_device)
            return "no source given, and the built-in simulated device is Linux-only: give --port (see --list-ports) "
                   "or --replay";
        if (o.source == SourceKind::hidraw && !system_traits().has_hidraw) return "--hidraw is Linux-only";
        return {};
    }

    void add_source(const char* name, SourceKind kind, const char* value_name, const std::string& help) {
        parser.add(name, value_name, help, [this, kind](std::string_view value) {
            if (o.source != SourceKind::simulated) return std::string("is a second source; choose one");
            if (value.empty()) return std::string("takes a non-empty value");
            o.source = kind;
            o.path = std::string(value);
            return std::string();
        });
    }

    std::string first_given(std::initializer_list<const char*> names) const {
        for (const char* name : names)
            if (parser.given(name)) return std::string("--") + name;
        return {};
    }

    // Options that the chosen source or output would ignore are errors.
    std::string ignored(bool terminal) const {
        const bool port = o.source == SourceKind::port;
        const bool simulated = o.source == SourceKind::simulated;
        const bool live_view = terminal && !o.json;
        struct Rule {
            bool applies;
            std::initializer_list<const char*> options;
            const char* reason;
        };
        const Rule rules[] = {
            {!port, {"baud"}, "goes with --port only"},
            {!port && !simulated, {"param1", "param2"}, "goes with --port or the built-in device: only they get a request frame"},
            {o.source == SourceKind::replay || simulated, {"reconnect"}, "goes with --port or --hidraw"},
            {o.source == SourceKind::replay, {"record"}, "cannot record a replay"},
            {o.source != SourceKind::replay, {"replay-speed"}, "goes with --replay"},
            {!simulated, {"sim-types", "sim-rate", "sim-noise", "sim-hostile", "sim-irregular", "sim-seed"},
             "shapes the built-in device, which runs only without a source"},
            {o.sbus_out.empty(), {"sbus-rate", "sbus-source"}, "goes with --sbus-out"},
            {!map_sources.empty(), {"sbus-source"}, "goes without a channel map, which says what each channel carries"},
            {o.udp_outputs.empty(), {"udp-rate"}, "goes with --udp-out"},
            {o.sbus_out.empty() && !has_pulse_output(), {"map", "map-channel"},
             "goes with --sbus-out or a --udp-out other than json (json sends the values as they are)"},
            {!live_view, {"range"}, "sets the live view's scale; there is none with JSON output"},
            {!live_view && o.sbus_out.empty() && o.udp_outputs.empty(), {"stale-ms"},
             "goes with the live view, --sbus-out or --udp-out"},
        };
        for (const Rule& rule : rules) {
            const std::string name = first_given(rule.options);
            if (rule.applies && !name.empty()) return name + " " + rule.reason;
        }
        return {};
    }

    std::string apply_range() {
        if (range.empty()) return {};
        const std::size_t colon = range.find(':');
        std::uint64_t low = 0, high = 0;
        if (colon == std::string::npos || !OptionParser::parse_number(std::string_view(range).substr(0, colon), 0, 65534, low) ||
            !OptionParser::parse_number(std::string_view(range).substr(colon + 1), low + 1, 65535, high))
            return "--range takes LO:HI with 0 <= LO < HI <= 65535, like 0:1200, not '" + range + "'";
        o.range_low = static_cast<unsigned>(low);
        o.range_high = static_cast<unsigned>(high);
        return {};
    }
};

}  // namespace

std::string sbus_out_conflict(const MonitorOptions& o) {
    const std::string output = "the SBUS output " + o.sbus_out;
    if (o.source != SourceKind::replay && same_file(o.sbus_out, o.path))
        return output + " is the source, " + o.path + ": SBUS frames would go into the device's own port";
    if (is_stdout(o.sbus_out)) return output + " is stdout: SBUS frames would be mixed into the updates shown there";
    return {};
}

OptionParser::Outcome parse_monitor_options(int argc, char** argv, bool terminal, MonitorOptions& options) {
    MonitorCommand command(options);
    auto outcome = command.parser.parse(argc, argv);
    if (!outcome.run) return outcome;
    std::string problem = options.list_ports ? command.list_ports_alone() : command.check_udp_outputs();
    if (problem.empty() && !options.list_ports) problem = command.ignored(terminal);
    if (problem.empty()) problem = command.unavailable();
    if (problem.empty()) problem = command.apply_range();
    if (problem.empty()) problem = command.load_map();
    if (!problem.empty()) return command.parser.complaint(problem);
    options.sbus_source = static_cast<SbusSource>(command.sbus_source);
    options.stale_seconds = command.stale_ms / 1000.0;
    options.replay_speed_given = command.parser.given("replay-speed");
    return outcome;
}

}  // namespace vandry_tools
