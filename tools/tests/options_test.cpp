// The command line: value forms, ranges, list syntax, and the monitor's
// rule that an option the chosen source or output ignores is an error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fstream>

#include "monitor_options.h"
#include "options.h"
#include "scratch_dir.h"

namespace vandry_tools {
namespace {

struct Argv {
    explicit Argv(std::vector<std::string> args) : strings(std::move(args)) {
        strings.insert(strings.begin(), "program");
        for (auto& s : strings) pointers.push_back(s.data());
    }
    int argc() const { return static_cast<int>(pointers.size()); }
    char** argv() { return pointers.data(); }

    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

struct Targets {
    std::uint8_t byte = 0;
    double hz = 1;
    double speed = 1;
    std::vector<std::uint8_t> types{9};
    int choice = 0;
    bool flag = false;
    std::string path;
};

OptionParser::Outcome parse(Targets& t, std::vector<std::string> args) {
    OptionParser parser("program", "[options]", "A program.");
    parser.number("byte", "N", t.byte, 0, 255, "a byte");
    parser.positive("hz", "HZ", t.hz, 333, "a rate");
    parser.real("speed", "X", t.speed, 0, 1000, "a speed");
    parser.list("types", "LIST", t.types, "types");
    parser.choice("source", {"channels", "bank0", "bank1"}, t.choice, "a choice");
    parser.flag("json", t.flag, "a flag");
    parser.text("log", "FILE", t.path, "a path");
    Argv argv(std::move(args));
    return parser.parse(argv.argc(), argv.argv());
}

TEST(OptionParser, AcceptsBothValueFormsAndNumberBases) {
    struct Case {
        std::vector<std::string> args;
        std::uint8_t byte;
        double hz;
        double speed;
        std::vector<std::uint8_t> types;
    };
    const Case cases[] = {
        {{"--byte", "7"}, 7, 1, 1, {9}},
        {{"--byte=0x1F"}, 31, 1, 1, {9}},
        {{"--byte=255", "--hz=333"}, 255, 333, 1, {9}},
        {{"--hz", "0.5", "--speed", "0"}, 0, 0.5, 0, {9}},
        {{"--types=0,1,2"}, 0, 1, 1, {0, 1, 2}},
        {{"--types", "0x10"}, 0, 1, 1, {16}},
    };
    for (const Case& c : cases) {
        Targets t;
        const auto outcome = parse(t, c.args);
        EXPECT_TRUE(outcome.run) << c.args[0] << ": " << outcome.text;
        EXPECT_EQ(t.byte, c.byte) << c.args[0];
        EXPECT_EQ(t.hz, c.hz) << c.args[0];
        EXPECT_EQ(t.speed, c.speed) << c.args[0];
        EXPECT_EQ(t.types, c.types) << c.args[0];
    }
}

TEST(OptionParser, RefusesBadValuesWithStatusTwoNamingTheOption) {
    std::string sixty_five_items = "1";
    for (int k = 1; k < 65; ++k) sixty_five_items += ",1";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--byte", "256"}, "--byte takes a number from 0 to 255, not '256'"},
        {{"--byte=-1"}, "--byte takes a number from 0 to 255"},
        {{"--byte", "7x"}, "--byte takes a number"},
        {{"--byte"}, "--byte needs a value (N)"},
        {{"--hz", "0"}, "--hz takes a number above 0, up to 333"},
        {{"--hz", "334"}, "--hz takes a number above 0, up to 333"},
        {{"--hz", "nan"}, "--hz takes a number"},
        {{"--speed", "-0.1"}, "--speed takes a number from 0 to 1000"},
        {{"--types", ""}, "--types takes a list"},
        {{"--types", "1,,2"}, "--types takes a list"},
        {{"--types", "1,"}, "--types takes a list"},
        {{"--types", "256"}, "--types takes a list"},
        {{"--types", sixty_five_items}, "--types takes a list of 1 to 64"},
        {{"--source", "bank7"}, "--source takes one of channels|bank0|bank1, not 'bank7'"},
        {{"--json=1"}, "--json takes no value"},
        {{"--log="}, "--log takes a non-empty value"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--byte", "1", "--byte", "2"}, "--byte is given twice"},
    };
    for (const auto& [args, message] : cases) {
        Targets t;
        const auto outcome = parse(t, args);
        EXPECT_FALSE(outcome.run) << args[0];
        EXPECT_EQ(outcome.status, 2) << args[0];
        EXPECT_NE(outcome.text.find("program: " + message), std::string::npos) << outcome.text;
    }
}

TEST(OptionParser, HelpAndVersionWinOverEverythingElse) {
    for (const char* word : {"--help", "-h", "--version"}) {
        Targets t;
        const auto outcome = parse(t, {"--byte", "999", word});
        EXPECT_FALSE(outcome.run);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_NE(outcome.text.find(std::string(word) == "--version" ? "VandryInterface" : "--types LIST"),
                  std::string::npos);
    }
}

TEST(OptionParser, UsageLinesFitEightyColumns) {
    MonitorOptions options;
    Argv argv({"--help"});
    const std::string usage = parse_monitor_options(argv.argc(), argv.argv(), true, options).text;
    std::size_t start = 0;
    for (std::size_t end; (end = usage.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 79u) << usage.substr(start, end - start);
}

// One row per rule: the options a source or output would silently ignore.
TEST(MonitorOptions, OptionsTheRunWouldIgnoreAreErrors) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--baud", "9600"}, "--baud goes with --port"},
        {{"--hidraw", "/dev/x", "--param1", "3"}, "--param1 goes with --port or the built-in device"},
        {{"--replay", "c", "--param2", "3"}, "--param2 goes with --port"},
        {{"--reconnect"}, "--reconnect goes with --port or --hidraw"},
        {{"--replay", "c", "--reconnect"}, "--reconnect goes with --port or --hidraw"},
        {{"--replay", "c", "--record", "d"}, "--record cannot record a replay"},
        {{"--port", "p", "--replay-speed", "2"}, "--replay-speed goes with --replay"},
        {{"--port", "p", "--sim-rate", "50"}, "--sim-rate shapes the built-in device"},
        {{"--replay", "c", "--sim-hostile"}, "--sim-hostile shapes the built-in device"},
        {{"--sbus-rate", "50"}, "--sbus-rate goes with --sbus-out"},
        {{"--sbus-source", "bank0"}, "--sbus-source goes with --sbus-out"},
        {{"--json", "--range", "0:100"}, "--range sets the live view's scale"},
        {{"--json", "--stale-ms", "100"}, "--stale-ms goes with the live view, --sbus-out or --udp-out"},
        {{"--port", "a", "--hidraw", "b"}, "--hidraw is a second source"},
        {{"--range", "5:5"}, "--range takes LO:HI with 0 <= LO < HI <= 65535"},
        {{"--range", "1200"}, "--range takes LO:HI"},
        {{"--sbus-out", "s", "--sbus-rate", "334"}, "--sbus-rate takes a number above 0, up to 333"},
        {{"--udp-rate", "50"}, "--udp-rate goes with --udp-out"},
        {{"--udp-out", "127.0.0.1:9004"}, "--udp-out 127.0.0.1:9004 needs a --udp-format after it (betaflight, "},
        {{"--udp-format", "json", "--udp-out", "127.0.0.1:9"}, "--udp-format json comes before any --udp-out"},
        {{"--udp-out", "127.0.0.1:9", "--udp-format", "json", "--udp-format", "json"},
         "--udp-out 127.0.0.1:9 has more than one --udp-format"},
        {{"--udp-out", "localhost:9", "--udp-format", "json", "--udp-out", "127.0.0.1:9", "--udp-format", "json"},
         "--udp-out localhost:9 and 127.0.0.1:9 are the same endpoint"},
        {{"--udp-out", "example.com:9", "--udp-format", "json"},
         "UDP output 'example.com:9': 'example.com' is not an IPv4 address or localhost"},
        {{"--udp-out", "127.0.0.1:9", "--udp-format", "xplane"},
         "--udp-format takes one of betaflight|ardupilot|ardupilot8|json, not 'xplane'"},
        {{"--udp-out", "[::1]:9", "--udp-format", "json", "--udp-rate", "1001"},
         "--udp-rate takes a number above 0, up to 1000"},
        {{"--map-channel", "1=ch1"}, "--map-channel goes with --sbus-out or a --udp-out other than json"},
        {{"--udp-out", "[::1]:9", "--udp-format", "json", "--map", "m"}, "--map goes with --sbus-out or a --udp-out"},
        {{"--sbus-out", "s", "--map-channel", "1=ch1", "--sbus-source", "bank0"},
         "--sbus-source goes without a channel map"},
        {{"--sbus-out", "s", "--map-channel", "1=ch16"}, "--map-channel 1=ch16: unknown source 'ch16'"},
        {{"--sbus-out", "s", "--map-channel", "1=ch1", "--map-channel", "1=ch2"},
         "--map-channel 1=ch2: output 1 is already set at --map-channel 1=ch1"},
    };
    for (const auto& [args, message] : refused) {
        MonitorOptions options;
        Argv argv(args);
        const auto outcome = parse_monitor_options(argv.argc(), argv.argv(), true, options);
        EXPECT_EQ(outcome.status, 2) << message;
        EXPECT_NE(outcome.text.find("vandry-monitor: " + message), std::string::npos) << outcome.text;
    }
    const std::vector<std::vector<std::string>> accepted = {
        {"--port", "p", "--baud", "9600", "--param1", "1", "--reconnect", "--record", "r"},
        {"--hidraw", "h", "--reconnect", "--record", "r"},
        {"--replay", "c", "--replay-speed", "0"},
        {"--sim-rate", "50", "--sim-types", "0,1", "--sim-hostile", "--param2", "9"},
        {"--json", "--sbus-out", "s", "--sbus-rate", "333", "--stale-ms", "100", "--sbus-source", "bank1"},
        {"--range", "100:2000", "--stale-ms", "250"},
        {"--json", "--udp-out", "127.0.0.1:9004", "--udp-format", "betaflight", "--udp-out=[::1]:5501",
         "--udp-format=ardupilot", "--udp-rate", "1000", "--stale-ms", "100", "--map-channel", "1=ch2:rev"},
        {"--hidraw", "h", "--udp-out", "localhost:9", "--udp-format", "json", "--sbus-out", "s", "--map-channel", "3=1000"},
    };
    for (const auto& args : accepted) {
        MonitorOptions options;
        Argv argv(args);
        const auto outcome = parse_monitor_options(argv.argc(), argv.argv(), true, options);
        EXPECT_TRUE(outcome.run) << outcome.text;
    }
}

TEST(MonitorOptions, TheLiveViewsOptionsNeedATerminal) {
    MonitorOptions options;
    Argv argv({"--range", "0:100"});
    EXPECT_EQ(parse_monitor_options(argv.argc(), argv.argv(), false, options).status, 2);
}

TEST(MonitorOptions, ValuesLandWhereTheRunLooks) {
    MonitorOptions o;
    Argv argv({"--port=/dev/ttyUSB3", "--baud=230400", "--param1=0xFA", "--stale-ms=250", "--range=10:20",
               "--sbus-out=/dev/ttyS1", "--sbus-source=bank1", "--frames=5"});
    ASSERT_TRUE(parse_monitor_options(argv.argc(), argv.argv(), true, o).run);
    EXPECT_EQ(o.source, SourceKind::port);
    EXPECT_EQ(o.path, "/dev/ttyUSB3");
    EXPECT_EQ(o.baud, 230400u);
    EXPECT_EQ(o.param1, 0xFA);
    EXPECT_DOUBLE_EQ(o.stale_seconds, 0.25);
    EXPECT_EQ(o.range_low, 10u);
    EXPECT_EQ(o.range_high, 20u);
    EXPECT_EQ(o.sbus_source, SbusSource::bank1);
    EXPECT_EQ(o.frames, 5u);
}

TEST(OptionParser, ARepeatableOptionSeesEachValueInOrder) {
    std::vector<std::string> seen;
    std::string once;
    OptionParser parser("program", "", "");
    parser.add("out", "X", "", [&seen](std::string_view value) {
        seen.emplace_back(value);
        return std::string();
    });
    parser.repeatable("out");
    parser.text("log", "FILE", once, "");
    Argv argv({"--out", "a", "--log", "l", "--out=b", "--out", "c"});
    ASSERT_TRUE(parser.parse(argv.argc(), argv.argv()).run);
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(MonitorOptions, EachUdpFormatBelongsToTheOutputBeforeIt) {
    MonitorOptions o;
    Argv argv({"--udp-out", "127.0.0.1:9004", "--udp-format", "betaflight", "--udp-out", "[::1]:5501", "--udp-format",
               "ardupilot8", "--udp-out", "localhost:9100", "--udp-rate", "50", "--udp-format", "json"});
    ASSERT_TRUE(parse_monitor_options(argv.argc(), argv.argv(), false, o).run);
    ASSERT_EQ(o.udp_outputs.size(), 3u);
    const struct {
        const char* text;
        vandry_bridge::UdpEndpoint::Family family;
        std::uint16_t port;
        vandry_bridge::UdpFormat format;
    } want[] = {{"127.0.0.1:9004", vandry_bridge::UdpEndpoint::Family::ipv4, 9004, vandry_bridge::UdpFormat::betaflight},
                {"[::1]:5501", vandry_bridge::UdpEndpoint::Family::ipv6, 5501, vandry_bridge::UdpFormat::ardupilot8},
                {"localhost:9100", vandry_bridge::UdpEndpoint::Family::ipv4, 9100, vandry_bridge::UdpFormat::json}};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(o.udp_outputs[k].endpoint.text, want[k].text);
        EXPECT_EQ(o.udp_outputs[k].endpoint.family, want[k].family);
        EXPECT_EQ(o.udp_outputs[k].endpoint.port, want[k].port);
        EXPECT_EQ(o.udp_outputs[k].format, want[k].format);
    }
    EXPECT_EQ(o.udp_rate, 50);
    EXPECT_FALSE(o.map) << "no map: the outputs carry the channels as they are";
}

// --map and --map-channel together, read in command-line order: the rules
// they give, and errors that name the file and line or the rule.
TEST(MonitorOptions, MapFileAndRulesMakeOneMap) {
    ScratchDir dir;
    const auto write = [&dir](const std::string& name, const std::string& text) {
        const std::string path = dir.path(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    };
    const std::string good = write("good.map", "# sticks\r\n1=ch2:rev\r\n2=ch1:100:1100 # pitch\r\n\r\n3=1000\r\n");
    const std::string bad = write("bad.map", "1=ch1\n\n2=bank0.17\n");
    const std::string empty = write("empty.map", "# nothing yet\n");
    const std::string absent = dir.path("absent.map");
    // Channel k holds 100 k: ch2 = 200 reversed is 3000 - 1167; ch1 = 100 on
    // 100..1100 is the bottom; bank0.1 = 1200 is the top.
    channel_values channels{};
    for (std::uint16_t k = 0; k < 15; ++k) channels.channel[k] = static_cast<std::uint16_t>(100 * (k + 1));
    channel_banks banks{};
    banks.bank[0][0] = 1200;
    const struct {
        std::vector<std::string> args;
        std::string error;             // "" for a good map
        std::vector<std::uint16_t> first4;
    } cases[] = {
        {{"--map", good}, "", {1833, 1000, 1000, 1500}},
        {{"--map-channel", "4=bank0.1", "--map", good}, "", {1833, 1000, 1000, 2000}},
        {{"--map", good, "--map-channel", "3=ch3"}, "--map-channel 3=ch3: output 3 is already set at " + good + " line 5", {}},
        {{"--map", bad}, bad + " line 3: unknown source 'bank0.17'", {}},
        {{"--map", absent}, "cannot read the map " + absent + ": No such file or directory", {}},
        {{"--map", empty}, "the channel map has no rule", {}},
    };
    for (const auto& c : cases) {
        MonitorOptions o;
        std::vector<std::string> args = {"--sbus-out", "s"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Argv argv(args);
        const auto outcome = parse_monitor_options(argv.argc(), argv.argv(), false, o);
        if (!c.error.empty()) {
            EXPECT_EQ(outcome.status, 2) << c.error;
            EXPECT_NE(outcome.text.find("vandry-monitor: " + c.error), std::string::npos) << outcome.text;
            continue;
        }
        ASSERT_TRUE(outcome.run) << outcome.text;
        ASSERT_TRUE(o.map);
        const auto pulses = o.map->apply({&channels, &banks});
        ASSERT_TRUE(pulses);
        EXPECT_EQ(std::vector<std::uint16_t>(pulses->begin(), pulses->begin() + 4), c.first4) << c.args[0];
    }
}

// The monitor's built-in device and vandry-sim take the stream's options
// with the same ranges and list syntax.
TEST(StreamOptions, BothToolsShareRangesAndListSyntax) {
    for (const auto& [value, ok] : std::vector<std::pair<std::string, bool>>{
             {"0,1,2", true}, {"7", true}, {"1,,2", false}, {"300", false}}) {
        SimulatorOptions sim;
        OptionParser parser("vandry-sim", "", "");
        add_stream_options(parser, sim, "");
        Argv sim_argv({"--types=" + value});
        MonitorOptions monitor;
        Argv monitor_argv({"--sim-types=" + value});
        EXPECT_EQ(parser.parse(sim_argv.argc(), sim_argv.argv()).run, ok) << value;
        EXPECT_EQ(parse_monitor_options(monitor_argv.argc(), monitor_argv.argv(), true, monitor).run, ok) << value;
        if (ok) {
            EXPECT_EQ(sim.payload_types, monitor.simulator.payload_types);
        }
    }
}

}  // namespace
}  // namespace vandry_tools
