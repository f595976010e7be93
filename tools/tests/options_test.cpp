// The command line: value forms, ranges, list syntax, and the monitor's
// rule that an option the chosen source or output ignores is an error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor_options.h"
#include "options.h"

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
        {{"--json", "--stale-ms", "100"}, "--stale-ms goes with the live view or --sbus-out"},
        {{"--port", "a", "--hidraw", "b"}, "--hidraw is a second source"},
        {{"--range", "5:5"}, "--range takes LO:HI with 0 <= LO < HI <= 65535"},
        {{"--range", "1200"}, "--range takes LO:HI"},
        {{"--sbus-out", "s", "--sbus-rate", "334"}, "--sbus-rate takes a number above 0, up to 333"},
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
