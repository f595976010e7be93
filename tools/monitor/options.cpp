#include "options.h"

#include <string_view>
#include <vector>

#include "VandryInterface.h"
#include "cli.h"

namespace vandry_monitor {

const char* const kUsage = R"(usage: vandry-monitor [source] [options]

Shows what a Vandry device sends. With no source, it runs against a built-in
simulated device, so that you can see it work without hardware.

Sources (one at most):
  --port PATH         a serial port, e.g. /dev/ttyUSB0 (raw 8N1)
  --baud N            its speed (default 115200)
  --hidraw PATH       a hidraw device, e.g. /dev/hidraw0 (19- and 35-byte reports)
  --replay FILE       a capture made with --record

Port options:
  --param1 N          first argument byte of the request frame (default 0)
  --param2 N          second argument byte of the request frame (default 0)
  --record FILE       write every byte read from the port to FILE

When to stop (otherwise at Ctrl-C or SIGTERM):
  --frames N          after N updates
  --seconds S         after S seconds

Output:
  --json              one JSON object per update on stdout (the default when
                      stdout is not a terminal)
  --sbus-out PATH     write a 25-byte SBUS frame per update to PATH; a serial
                      device is set to 100000 baud 8E2 (the line needs an inverter)
  --sbus-rate HZ      write SBUS frames at this rate instead
  --sbus-source S     channels, bank0 or bank1 (default channels)

Built-in device:
  --sim-types LIST    payload types to cycle through (default 0,1,2)
  --sim-rate HZ       frames per second (default 100)
  --sim-noise         noise bytes between frames
  --help              this text
)";

namespace {

struct Parser {
    Parser(int count, char** values) : argc(count), argv(values) {}

    int argc;
    char** argv;
    int i = 1;
    ParseResult result;
    MonitorOptions options;
    int sources = 0;

    bool fail(const std::string& message) {
        result.message = "vandry-monitor: " + message + "\n" + kUsage;
        result.exit_status = 2;
        return false;
    }

    std::optional<std::string_view> value(std::string_view option) {
        if (i + 1 >= argc) {
            fail(std::string(option) + " needs a value");
            return std::nullopt;
        }
        return std::string_view(argv[++i]);
    }

    template <typename T>
    bool number(std::string_view option, T& out, std::uint64_t min, std::uint64_t max) {
        const auto text = value(option);
        if (!text) return false;
        const auto n = vandry_tools::parse_number(*text, min, max);
        if (!n) return fail(std::string(option) + " takes a number from " + std::to_string(min) + " to " + std::to_string(max));
        out = static_cast<T>(*n);
        return true;
    }

    bool positive(std::string_view option, double& out) {
        const auto text = value(option);
        if (!text) return false;
        const auto n = vandry_tools::parse_seconds(*text);
        if (!n) return fail(std::string(option) + " takes a positive number");
        out = *n;
        return true;
    }

    bool source(SourceKind kind, std::string_view option) {
        const auto text = value(option);
        if (!text) return false;
        if (++sources > 1) return fail("choose one source: --port, --hidraw or --replay");
        options.source = kind;
        options.path = std::string(*text);
        return true;
    }

    bool sim_types(std::string_view option) {
        const auto text = value(option);
        if (!text) return false;
        std::vector<std::uint8_t> types;
        std::string_view rest = *text;
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            const auto n = vandry_tools::parse_number(rest.substr(0, comma), 0, 255);
            if (!n) return fail("--sim-types takes a list like 0,1,2");
            types.push_back(static_cast<std::uint8_t>(*n));
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        }
        if (types.empty()) return fail("--sim-types takes a list like 0,1,2");
        options.simulator.payload_types = types;
        return true;
    }

    bool sbus_source() {
        const auto text = value("--sbus-source");
        if (!text) return false;
        if (*text == "channels") options.sbus_source = SbusSource::channels;
        else if (*text == "bank0") options.sbus_source = SbusSource::bank0;
        else if (*text == "bank1") options.sbus_source = SbusSource::bank1;
        else return fail("--sbus-source takes channels, bank0 or bank1");
        return true;
    }

    bool path(std::string_view option, std::string& out) {
        const auto text = value(option);
        if (!text) return false;
        out = std::string(*text);
        return true;
    }

    bool one(std::string_view arg) {
        if (arg == "--port") return source(SourceKind::port, arg);
        if (arg == "--hidraw") return source(SourceKind::hidraw, arg);
        if (arg == "--replay") return source(SourceKind::replay, arg);
        if (arg == "--baud") return number(arg, options.baud, 50, 4000000);
        if (arg == "--param1") return number(arg, options.param1, 0, 255);
        if (arg == "--param2") return number(arg, options.param2, 0, 255);
        if (arg == "--record") return path(arg, options.record_path);
        if (arg == "--frames") return number(arg, options.frames, 1, UINT64_MAX);
        if (arg == "--seconds") return positive(arg, options.seconds);
        if (arg == "--json") return options.json = true;
        if (arg == "--sbus-out") return path(arg, options.sbus_out);
        if (arg == "--sbus-rate") return positive(arg, options.sbus_rate);
        if (arg == "--sbus-source") return sbus_source();
        if (arg == "--sim-types") return sim_types(arg);
        if (arg == "--sim-rate") return positive(arg, options.simulator.rate_hz);
        if (arg == "--sim-noise") return options.simulator.noise = true;
        return fail("unknown option " + std::string(arg));
    }

    ParseResult run() {
        options.simulator.payload_types = {VANDRY_PAYLOAD_CHANNELS, VANDRY_PAYLOAD_BANKS, VANDRY_PAYLOAD_BOTH};
        options.simulator.verbose = false;
        options.simulator.irregular_writes = true;
        for (; i < argc; ++i) {
            const std::string_view arg = argv[i];
            if (arg == "--help" || arg == "-h") {
                result.message = kUsage;
                return result;
            }
            if (!one(arg)) return result;
        }
        if (!options.record_path.empty() && options.source != SourceKind::port && options.source != SourceKind::simulated) {
            fail("--record goes with --port or the built-in device");
            return result;
        }
        result.options = options;
        return result;
    }
};

}  // namespace

ParseResult parse_options(int argc, char** argv) { return Parser(argc, argv).run(); }

}  // namespace vandry_monitor
