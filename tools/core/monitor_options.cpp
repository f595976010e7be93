#include "monitor_options.h"

#include <vector>

#include "platform.h"

namespace vandry_tools {
namespace {

constexpr double kSbusFramesPerSecond = 333;  // a 25-byte 8E2 frame at 100000 baud takes 3 ms

std::string baud_list() {
    std::string out;
    for (unsigned rate : supported_baud_rates()) {
        if (!out.empty()) out += ", ";
        out += std::to_string(rate);
    }
    return out;
}

struct MonitorCommand {
    MonitorOptions& o;
    int sbus_source = 0;
    double stale_ms = 500;
    std::string range;
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
                      "output stops sending until fresh data comes, so that the receiver goes to its failsafe");
        parser.text("sbus-out", "PATH", o.sbus_out,
                    "write 25-byte SBUS frames to PATH: a serial device (set to 100000 baud 8E2; the line needs an "
                    "inverter), a FIFO or a new file");
        parser.positive("sbus-rate", "HZ", o.sbus_rate, kSbusFramesPerSecond,
                        "send SBUS frames at this rate (at most 333, what the line carries) instead of one per update");
        parser.choice("sbus-source", {"channels", "bank0", "bank1"}, sbus_source,
                      "what the SBUS frames carry (default channels; channel 16 is then 0)");
        parser.section(system_traits().has_built_in_device ? "Built-in device" : "Built-in device (Linux only)");
        add_stream_options(parser, o.simulator, "sim-");
        parser.section("Ports");
        parser.flag("list-ports", o.list_ports, "list this machine's serial ports for --port, and end");
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
            {!live_view, {"range"}, "sets the live view's scale; there is none with JSON output"},
            {!live_view && o.sbus_out.empty(), {"stale-ms"}, "goes with the live view or --sbus-out"},
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

OptionParser::Outcome parse_monitor_options(int argc, char** argv, bool terminal, MonitorOptions& options) {
    MonitorCommand command(options);
    auto outcome = command.parser.parse(argc, argv);
    if (!outcome.run) return outcome;
    std::string problem = options.list_ports ? command.list_ports_alone() : command.ignored(terminal);
    if (problem.empty()) problem = command.unavailable();
    if (problem.empty()) problem = command.apply_range();
    if (!problem.empty()) return command.parser.complaint(problem);
    options.sbus_source = static_cast<SbusSource>(command.sbus_source);
    options.stale_seconds = command.stale_ms / 1000.0;
    return outcome;
}

}  // namespace vandry_tools
