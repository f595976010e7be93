#include "channel_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace vandry_bridge {
namespace {

using Kind = OutputRule::Kind;

// The textbook line through (lo, out_lo) and (hi, out_hi), in floating point,
// rounded half up and mirrored for a reversed rule.
std::uint16_t oracle(std::uint16_t value, std::uint16_t lo, std::uint16_t hi, bool rev, OutputRange range) {
    const double v = std::fmin(std::fmax(value, lo), hi);
    const double x = range.low + (v - lo) * (range.high - range.low) / (hi - lo);
    const double rounded = std::floor(x + 0.5);
    return static_cast<std::uint16_t>(rev ? range.low + range.high - rounded : rounded);
}

OutputRule mapped(std::uint16_t lo, std::uint16_t hi, bool rev) {
    return {.kind = Kind::mapped, .in_low = lo, .in_high = hi, .reversed = rev};
}

// The map written back as rules, outputs without one left out: what the
// parser stored, read independently of how it parsed it.
std::string rules_of(const ChannelMap& map) {
    const char* const record_names[] = {"ch", "bank0.", "bank1."};
    std::string text;
    for (std::size_t k = 0; k < kOutputCount; ++k) {
        const OutputRule& r = map.rule(k);
        if (r.kind == Kind::neutral) continue;
        if (!text.empty()) text += ' ';
        text.append(std::to_string(k + 1)).append("=");
        if (r.kind == Kind::fixed) {
            text += std::to_string(r.fixed_value);
            continue;
        }
        text.append(record_names[static_cast<int>(r.record)]).append(std::to_string(r.index + 1));
        text.append(":").append(std::to_string(r.in_low)).append(":").append(std::to_string(r.in_high));
        text.append(r.reversed ? ":rev" : "");
    }
    return text;
}

TEST(ChannelMapParser, ReadsEachFormOfRule) {
    const struct {
        const char* line;
        const char* want;
    } cases[] = {
        {"1=ch1", "1=ch1:0:1200"},
        {"1=ch1:0:1200:rev", "1=ch1:0:1200:rev"},
        {"2 = ch15 : 100 : 1100 : rev   # pitch", "2=ch15:100:1100:rev"},
        {"\t3=bank0.16\r", "3=bank0.16:0:1200"},
        {"4=bank1.1:rev", "4=bank1.1:0:1200:rev"},
        {"5=ch2:0:65535", "5=ch2:0:65535"},
        {"6=1500", "6=1500"},
        {"16=2000#aux", "16=2000"},
        {"# 1=ch1", ""},
        {"  \t\r", ""},
    };
    for (const auto& c : cases) {
        ChannelMapParser parser(kPulseRange);
        std::string error;
        ASSERT_TRUE(parser.add_line(c.line, "test", error)) << c.line << ": " << error;
        EXPECT_EQ(rules_of(parser.map()), c.want) << c.line;
        EXPECT_EQ(parser.empty(), *c.want == '\0') << c.line;
    }
}

TEST(ChannelMapParser, BadLineNamesItsLineAndTheFault) {
    const struct {
        const char* line;
        const char* fault;
    } cases[] = {
        {"ch1", "expected OUT=SOURCE"},
        {"=ch1", "output '' is not a channel 1..16"},
        {"0=ch1", "output '0' is not a channel 1..16"},
        {"17=ch1", "output '17' is not a channel 1..16"},
        {"x=ch1", "output 'x' is not a channel"},
        {"1=", "expected OUT=SOURCE"},
        {"1=ch0", "unknown source 'ch0'"},
        {"1=ch16", "unknown source 'ch16'"},
        {"1=CH1", "unknown source 'CH1'"},
        {"1=bank2.1", "unknown source 'bank2.1'"},
        {"1=bank0.0", "unknown source 'bank0.0'"},
        {"1=bank0.17", "unknown source 'bank0.17'"},
        {"1=bank0", "unknown source 'bank0'"},
        {"1=ch1:0", "only LO:HI and rev may follow"},
        {"1=ch1:rev:0:1200", "only LO:HI and rev may follow"},
        {"1=ch1:0:1200:reverse", "only LO:HI and rev may follow"},
        {"1=ch1:0:1200:rev:rev", "only LO:HI and rev may follow"},
        {"1=ch1:1200:0", "LO must be below HI"},
        {"1=ch1:5:5", "LO must be below HI"},
        {"1=ch1:0:70000", "needs two numbers in 0..65535"},
        {"1=ch1:-1:5", "needs two numbers in 0..65535"},
        {"1=999", "fixed value '999' is not a number in the output range 1000..2000"},
        {"1=2001", "output range 1000..2000"},
        {"1=1500:rev", "a fixed value stands alone"},
        {"1=15x0", "not a number in the output range"},
        {"1=c\th\x01", "unknown source 'c\\x09h\\x01'"},  // control bytes never reach the terminal
        {"1=ch1:0:1\xff", "input range '0:1\\xff'"},
    };
    for (const auto& c : cases) {
        ChannelMapParser parser(kPulseRange);
        std::string error;
        const std::string text = "2=ch2\n# fine so far\n" + std::string(c.line) + "\n4=ch4\n";
        EXPECT_FALSE(parser.add_text(text, "my.map", error)) << c.line;
        EXPECT_EQ(error.rfind("my.map line 3: ", 0), 0u) << c.line << " -> " << error;
        EXPECT_NE(error.find(c.fault), std::string::npos) << c.line << " -> " << error;
    }
    // A NUL from a damaged file is shown, and the message goes on past it.
    ChannelMapParser parser(kPulseRange);
    std::string error;
    EXPECT_FALSE(parser.add_text(std::string("1=ch1:0:1200\0junk\n", 18), "my.map", error));
    EXPECT_EQ(error.find('\0'), std::string::npos) << error;
    EXPECT_NE(error.find("'0:1200\\x00junk'"), std::string::npos) << error;
}

TEST(ChannelMapParser, AnOutputIsSetOnceWhereverItsRulesComeFrom) {
    ChannelMapParser parser(kPulseRange);
    std::string error;
    ASSERT_TRUE(parser.add_text("1=ch1\n3=ch3\n", "my.map", error)) << error;
    EXPECT_FALSE(parser.add_line("3=ch4:rev", "--map-channel 3=ch4:rev", error));
    EXPECT_EQ(error, "--map-channel 3=ch4:rev: output 3 is already set at my.map line 2");
    EXPECT_FALSE(parser.add_text("2=ch2\n1=1500\n", "other.map", error));
    EXPECT_EQ(error, "other.map line 2: output 1 is already set at my.map line 1");
}

TEST(ChannelMapParser, FixedValuesAreCheckedAgainstTheOutputsRange) {
    ChannelMapParser sbus(kSbusRange);
    std::string error;
    ASSERT_TRUE(sbus.add_line("5=0", "a", error)) << error;
    ASSERT_TRUE(sbus.add_line("6=2047", "b", error)) << error;
    EXPECT_FALSE(sbus.add_line("7=2048", "c", error));
    EXPECT_NE(error.find("0..2047"), std::string::npos) << error;
}

class MapFile : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    const std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                                       ("vandry-map-test-" + std::to_string(getpid()));
};

TEST_F(MapFile, ReadsAFileWrittenOnWindows) {
    ChannelMapParser parser(kPulseRange);
    std::string error;
    ASSERT_TRUE(parser.add_file(write("sticks.map", "# roll\r\n1=ch2:rev\r\n\r\n2=ch1 # pitch\r\n16=1000"), error)) << error;
    EXPECT_EQ(rules_of(parser.map()), "1=ch2:0:1200:rev 2=ch1:0:1200 16=1000");
    // Notepad's UTF-8 with a byte-order mark; PowerShell's UTF-16 is refused for what it is.
    ChannelMapParser marked(kPulseRange);
    ASSERT_TRUE(marked.add_file(write("bom.map", "\xEF\xBB\xBF" "1=ch2\r\n2=ch1\r\n"), error)) << error;
    EXPECT_EQ(rules_of(marked.map()), "1=ch2:0:1200 2=ch1:0:1200");
    const std::string utf16 = write("utf16.map", std::string("\xFF\xFE" "1\0=\0c\0h\0" "1\0", 12));
    EXPECT_FALSE(ChannelMapParser(kPulseRange).add_file(utf16, error));
    EXPECT_EQ(error, utf16 + ": UTF-16 text; save the map as UTF-8 or ASCII");
}

TEST_F(MapFile, UnreadableFilesAreErrorsNamingThePathAndCause) {
    const std::string bad = write("bad.map", "1=ch1\n2=ch99\n");
    const struct {
        std::string path;
        std::string fault;
    } cases[] = {
        {(dir_ / "absent.map").string(), "No such file or directory"},
        {dir_.string(), "Is a directory"},
        {write("huge.map", std::string(64 * 1024 + 1, '#')), "larger than 64 KiB"},
        {bad, bad + " line 2: unknown source 'ch99'"},
    };
    for (const auto& c : cases) {
        ChannelMapParser parser(kPulseRange);
        std::string error;
        EXPECT_FALSE(parser.add_file(c.path, error)) << c.path;
        EXPECT_NE(error.find(c.path), std::string::npos) << error;
        EXPECT_NE(error.find(c.fault), std::string::npos) << error;
    }
}

TEST(MapValue, AgreesWithTheLineThroughBothEndsForEveryInput) {
    const struct {
        std::uint16_t lo, hi;
        OutputRange range;
    } cases[] = {
        {0, 1200, kPulseRange}, {0, 1200, kSbusRange}, {100, 1100, kPulseRange}, {0, 65535, kPulseRange},
        {0, 1, kPulseRange},    {500, 503, kSbusRange}, {0, 1200, OutputRange{1500, 1501}}, {3, 7000, OutputRange{7, 7}},
    };
    for (const auto& c : cases) {
        for (const bool rev : {false, true}) {
            const OutputRule rule = mapped(c.lo, c.hi, rev);
            for (std::uint32_t v = 0; v <= 65535; ++v) {
                const auto value = static_cast<std::uint16_t>(v);
                ASSERT_EQ(map_value(value, rule, c.range), oracle(value, c.lo, c.hi, rev, c.range))
                    << "value " << v << " range " << c.lo << ":" << c.hi << (rev ? ":rev" : "") << " onto "
                    << c.range.low << ".." << c.range.high;
            }
        }
    }
}

TEST(MapValue, WorkedExamples) {
    const OutputRule plain = mapped(0, 1200, false);
    const OutputRule rev = mapped(0, 1200, true);
    const struct {
        std::uint16_t value;
        std::uint16_t pulse, pulse_rev, sbus;
    } cases[] = {
        {0, 1000, 2000, 0},        {1, 1001, 1999, 2},       // 1000.83 and 1.71 round up
        {599, 1499, 1501, 1022},   {600, 1500, 1500, 1024},  // 1023.5 is a half: up
        {1200, 2000, 1000, 2047},  {65535, 2000, 1000, 2047},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(map_value(c.value, plain, kPulseRange), c.pulse) << c.value;
        EXPECT_EQ(map_value(c.value, rev, kPulseRange), c.pulse_rev) << c.value;
        EXPECT_EQ(map_value(c.value, plain, kSbusRange), c.sbus) << c.value;
    }
    EXPECT_EQ(kPulseRange.neutral(), 1500);
    EXPECT_EQ(kSbusRange.neutral(), 1024);
}

TEST(ChannelMap, IdentityFollowsTheChosenRecord) {
    channel_values channels{};
    channel_banks banks{};
    for (std::uint16_t k = 0; k < 16; ++k) {
        if (k < 15) channels.channel[k] = static_cast<std::uint16_t>(k * 80);
        banks.bank[0][k] = static_cast<std::uint16_t>(1200 - k * 80);
        banks.bank[1][k] = static_cast<std::uint16_t>(k * 40);
    }
    const struct {
        SourceRecord record;
        const std::uint16_t* values;
        std::size_t count;  // outputs beyond hold the centre
    } cases[] = {{SourceRecord::channels, channels.channel, 15},
                 {SourceRecord::bank0, banks.bank[0], 16},
                 {SourceRecord::bank1, banks.bank[1], 16}};
    for (const auto& c : cases) {
        const auto out = ChannelMap::identity(c.record, kPulseRange).apply({&channels, &banks});
        ASSERT_TRUE(out);
        for (std::size_t k = 0; k < kOutputCount; ++k) {
            EXPECT_EQ((*out)[k], k < c.count ? oracle(c.values[k], 0, 1200, false, kPulseRange) : 1500) << k;
        }
    }
}

TEST(ChannelMap, HoldsBackUntilEveryRecordItReadsHasArrived) {
    channel_values channels{};
    channel_banks banks{};
    ChannelMapParser parser(kPulseRange);
    std::string error;
    ASSERT_TRUE(parser.add_text("1=ch1\n2=bank1.3\n3=1100\n", "m", error)) << error;
    const ChannelMap& map = parser.map();
    EXPECT_TRUE(map.reads(SourceRecord::channels));
    EXPECT_FALSE(map.reads(SourceRecord::bank0));
    EXPECT_TRUE(map.reads(SourceRecord::bank1));
    EXPECT_FALSE(map.apply({&channels, nullptr}));
    EXPECT_FALSE(map.apply({nullptr, &banks}));
    banks.bank[1][2] = 1200;
    const auto out = map.apply({&channels, &banks});
    ASSERT_TRUE(out);
    const OutputValues want = {1000, 2000, 1100, 1500, 1500, 1500, 1500, 1500,
                               1500, 1500, 1500, 1500, 1500, 1500, 1500, 1500};
    EXPECT_EQ(*out, want);

    ChannelMapParser fixed_only(kPulseRange);
    ASSERT_TRUE(fixed_only.add_line("4=1000", "f", error)) << error;
    EXPECT_TRUE(fixed_only.map().apply({}));
}

// Only an update that carries what the map reads keeps its output fresh; a
// map that waits for a record, or reads none, takes any update.
TEST(ChannelMap, IsRenewedOnlyByTheRecordsItReads) {
    channel_values channels{};
    channel_banks banks{};
    const SourceValues both{&channels, &banks};
    const CarriedRecords nothing{}, only_channels{true, false}, only_banks{false, true};
    struct Case {
        const char* rules;
        SourceValues sources;
        CarriedRecords carried;
        bool renewed;
    } const cases[] = {
        {"1=ch1", both, only_channels, true},
        {"1=ch1", both, only_banks, false},
        {"1=ch1", both, nothing, false},  // a payload type the monitor does not know
        {"1=bank1.2", both, only_channels, false},
        {"1=bank1.2", both, only_banks, true},
        {"1=ch1\n2=bank0.1", both, only_banks, true},
        {"1=ch1\n2=bank0.1", {&channels, nullptr}, only_channels, true},  // waits for the banks, and says so
        {"1=ch1\n2=bank0.1", {&channels, nullptr}, nothing, true},
        {"3=1000", both, nothing, true},  // fixed values only
    };
    for (const Case& c : cases) {
        ChannelMapParser parser(kPulseRange);
        std::string error;
        ASSERT_TRUE(parser.add_text(c.rules, "m", error)) << error;
        EXPECT_EQ(parser.map().renewed_by(c.sources, c.carried), c.renewed)
            << c.rules << " carried " << c.carried.channels << c.carried.banks;
    }
}

}  // namespace
}  // namespace vandry_bridge
