// The rate and failsafe rules of the outputs, on a clock the test drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pacing.h"
#include "sbus_sender.h"
#include "scratch_dir.h"

namespace vandry_tools {
namespace {

// Times at which a ticker fires when asked at each of `asks`.
std::vector<double> fires(double period, const std::vector<double>& asks) {
    Ticker ticker(period);
    std::vector<double> out;
    for (double t : asks)
        if (ticker.due(t)) out.push_back(t);
    return out;
}

std::vector<double> every(double from, double to, double step) {
    std::vector<double> out;
    for (double t = from; t < to; t += step) out.push_back(t);
    return out;
}

TEST(Ticker, KeepsTheRateWhenAskedOftenAndNeverBurstsAfterAStall) {
    struct Case {
        const char* name;
        double period;
        std::vector<double> asks;
        std::size_t least, most;  // fires expected
    };
    std::vector<double> stalled = every(0, 1, 0.001);
    for (double t : every(3, 4, 0.001)) stalled.push_back(t);  // stopped from 1 s to 3 s
    std::vector<double> jittery;
    for (double t : every(0, 1, 0.007)) jittery.push_back(t + (static_cast<int>(t * 1000) % 3) * 0.002);
    const Case cases[] = {
        {"steady", 0.02, every(0, 1, 0.001), 50, 51},
        {"stall", 0.02, stalled, 100, 102},  // 50 + 50: the 100 missed ticks are skipped
        {"jitter", 0.02, jittery, 45, 51},
        {"sparse asks", 0.02, every(0, 1, 0.05), 20, 20},  // asked less often than the period: once per ask
    };
    for (const Case& c : cases) {
        const std::vector<double> at = fires(c.period, c.asks);
        EXPECT_GE(at.size(), c.least) << c.name;
        EXPECT_LE(at.size(), c.most) << c.name;
        for (std::size_t k = 1; k < at.size(); ++k)
            EXPECT_GE(at[k] - at[k - 1], c.period / 2 - 1e-9) << c.name << " at " << at[k];
        // Never more than one tick in any period-long window after the stall.
        for (std::size_t k = 2; k < at.size(); ++k) EXPECT_GT(at[k] - at[k - 2], c.period - 1e-9) << c.name;
    }
}

// A loop that sleeps until the next tick and wakes `late` after it, as
// every wait on a real system does: how many ticks fire in a second.
std::size_t fires_waking_late(double period, double late) {
    Ticker ticker(period);
    std::size_t count = 0;
    for (double now = 0; now < 1; now = std::max(now + 1e-4, ticker.next() + late)) count += ticker.due(now) ? 1u : 0u;
    return count;
}

TEST(Ticker, AWakeUpsLatenessDoesNotAddToEveryPeriod) {
    struct Case {
        double late;  // in periods
        double least;
    };
    // Up to half a period late, the ticks stay on the grid; later than that,
    // the next one comes half a period after the late one, no later.
    const Case cases[] = {{0.05, 999}, {0.45, 999}, {0.6, 1000 / 1.1 - 1}, {0.95, 1000 / 1.45 - 1}};
    for (const Case& c : cases) EXPECT_GE(static_cast<double>(fires_waking_late(0.001, c.late * 0.001)), c.least) << "late " << c.late;
}

TEST(Freshness, GoesStaleAfterTheLimitAndSaysSoOnce) {
    Freshness f(0.5);
    EXPECT_FALSE(f.fresh(0));
    EXPECT_EQ(f.change(0), Freshness::Change::none);  // no data yet is not a change
    f.renew(1.0);
    EXPECT_EQ(f.change(1.0), Freshness::Change::none);  // the first data neither
    EXPECT_TRUE(f.fresh(1.5));
    EXPECT_FALSE(f.fresh(1.5001));
    EXPECT_EQ(f.change(1.6), Freshness::Change::went_stale);
    EXPECT_EQ(f.change(9.0), Freshness::Change::none);
    f.renew(9.0);
    EXPECT_EQ(f.change(9.0), Freshness::Change::fresh_again);
    EXPECT_EQ(f.change(9.1), Freshness::Change::none);
}

// When a Repeater sends, driven as the outputs drive it: asked at each
// update, and serviced every millisecond.
struct Sends {
    std::vector<double> at;
    std::size_t updates = 0;
};

Sends repeat(Repeater repeater, double until, const std::vector<double>& updates) {
    Sends sends;
    std::size_t next = 0;
    for (double t = 0; t < until; t += 0.001) {
        for (; next < updates.size() && updates[next] <= t; ++next) {
            repeater.update(t);
            if (repeater.due(t)) sends.at.push_back(t);
        }
        if (repeater.due(t)) sends.at.push_back(t);
    }
    return sends;
}

TEST(Repeater, OnePerUpdateOrAtTheRateAndNothingOnStaleData) {
    std::vector<double> bunched;  // updates read together: five at each time
    for (double t : every(0, 0.1, 0.01)) bunched.insert(bunched.end(), 5, t);
    std::vector<double> gap = every(0, 1, 0.01);  // silent from 1 s to 3 s
    for (double t : every(3, 4, 0.01)) gap.push_back(t);
    const struct {
        const char* name;
        double rate, min_interval;
        std::vector<double> updates;
        std::size_t least, most;
    } cases[] = {
        {"every update, even read together", 0, 0, bunched, bunched.size(), bunched.size()},
        // 0.3 s of 3 ms, the first at once, and the last update's own
        {"per update, as fast as the line carries", 0, 0.003, every(0, 0.3, 0.0002), 100, 102},
        {"at a rate, through a silence", 50, 0, gap, 123, 127},  // 1.5 s fresh, then 1 s
        {"nothing without data", 50, 0, {}, 0, 0},
    };
    for (const auto& c : cases) {
        const Sends sends = repeat(Repeater(c.rate, c.min_interval, 0.5), 4, c.updates);
        EXPECT_GE(sends.at.size(), c.least) << c.name;
        EXPECT_LE(sends.at.size(), c.most) << c.name;
        for (double t : sends.at) {
            // The newest update at or before t is at most the limit old.
            const auto newest = std::upper_bound(c.updates.begin(), c.updates.end(), t + 1e-9);
            ASSERT_NE(newest, c.updates.begin()) << c.name << ": sent before any data, at " << t;
            EXPECT_LE(t - *(newest - 1), 0.5 + 1e-9) << c.name << ": sent on stale data at " << t;
        }
    }
}

TEST(Repeater, SaysOnceWhenItStopsAndWhenItResumes) {
    Repeater repeater(0, 0, 0.2);
    std::vector<std::string> said;
    const auto at = [&](double t) {
        if (std::string text = repeater.says(t, "output X", "the peer"); !text.empty()) said.push_back(text);
    };
    repeater.update(0);
    for (double t : every(0, 1, 0.05)) at(t);
    repeater.update(1);
    at(1);
    at(1.1);
    EXPECT_EQ(said, (std::vector<std::string>{"output X stopped: no data for 200 ms (the peer goes to its failsafe)",
                                              "output X resumed: fresh data"}));
}

// The SBUS output into a file, with the clock in the test's hands.
class SbusSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        options_.sbus_out = scratch_.path("frames");
        options_.stale_seconds = 0.5;
    }
    std::size_t frames_written() const {
        const auto bytes = ScratchDir::contents(options_.sbus_out);
        EXPECT_EQ(bytes.size() % 25, 0u);
        return bytes.size() / 25;
    }
    // Runs the sender from 0 to `until`, serviced every millisecond, with an
    // update that carries the channels at each time in `updates`.
    std::size_t run(double until, const std::vector<double>& updates) {
        SbusLine line;
        EXPECT_EQ(line.open(options_.sbus_out), "");
        SbusSender sender(line, options_);
        DeviceValues values;
        values.take(PortRecords{}, VANDRY_PAYLOAD_CHANNELS);
        std::size_t next = 0;
        for (double t = 0; t < until; t += 0.001) {
            for (; next < updates.size() && updates[next] <= t; ++next) sender.update(values, t);
            EXPECT_TRUE(sender.service(t));
        }
        return frames_written();
    }

    ScratchDir scratch_;
    MonitorOptions options_;
};

TEST_F(SbusSenderTest, OnePerUpdateButNeverFasterThanTheLineCarries) {
    // 5000 updates a second for 0.2 s: the line carries one frame per 3 ms.
    EXPECT_NEAR(static_cast<double>(run(0.2, every(0, 0.2, 0.0002))), 0.2 / kSbusFrameSeconds, 2);
}

TEST_F(SbusSenderTest, OneFramePerUpdateWhenUpdatesAreSlower) { EXPECT_EQ(run(1.0, every(0, 1.0, 0.01)), 100u); }

TEST_F(SbusSenderTest, AtAFixedRateStopsWhileTheDataIsStaleAndResumes) {
    options_.sbus_rate = 50;
    // Data for the first second, none for two, then data again for one.
    std::vector<double> updates = every(0, 1, 0.01);
    for (double t : every(3, 4, 0.01)) updates.push_back(t);
    const std::size_t frames = run(4.0, updates);
    // 50 a second while fresh: 1.5 s (the data stays fresh for 0.5 s after the
    // last update) plus 1 s; none in between.
    EXPECT_GE(frames, 123u);
    EXPECT_LE(frames, 127u);
}

TEST_F(SbusSenderTest, NothingBeforeTheFirstData) {
    options_.sbus_rate = 100;
    EXPECT_EQ(run(1.0, {}), 0u);
}

// The 16 channels of an SBUS frame, read back bit by bit.
std::vector<unsigned> sbus_values(const std::vector<std::uint8_t>& frame) {
    std::vector<unsigned> out(16, 0);
    for (unsigned bit = 0; bit < 176; ++bit) {
        if ((frame[1 + bit / 8] >> (bit % 8)) & 1) out[bit / 11] |= 1u << (bit % 11);
    }
    return out;
}

TEST_F(SbusSenderTest, AMapScalesOntoTheWholeSbusRangeOnceItsRecordsHaveCome) {
    vandry_bridge::ChannelMapParser map(vandry_bridge::kPulseRange);
    std::string error;
    ASSERT_TRUE(map.add_text("1=ch1:rev\n2=bank1.16\n3=1000\n4=2000\n", "m", error)) << error;
    options_.map = map.map();
    SbusLine line;
    ASSERT_EQ(line.open(options_.sbus_out), "");
    SbusSender sender(line, options_);
    PortRecords records{};
    records.channels.channel[0] = 300;  // 300 of 1200: 511.75 of 2047, so 512; reversed 1535
    DeviceValues values;
    values.take(records, VANDRY_PAYLOAD_CHANNELS);
    sender.update(values, 0);
    EXPECT_TRUE(sender.service(0));
    EXPECT_EQ(frames_written(), 0u) << "the banks have not come";
    records.banks.bank[1][15] = 1200;
    values.take(records, VANDRY_PAYLOAD_BANKS);
    sender.update(values, 0.01);
    EXPECT_TRUE(sender.service(0.01));
    const auto bytes = ScratchDir::contents(options_.sbus_out);
    ASSERT_EQ(bytes.size(), 25u);
    // 1000 and 2000 µs are the ends of 0..2047; an output without a rule is its centre.
    std::vector<unsigned> want(16, 1024);
    want[0] = 1535, want[1] = 2047, want[2] = 0, want[3] = 2047;
    EXPECT_EQ(sbus_values(bytes), want);
}

// Which records a frame carries, by payload type; an unknown type carries none.
TEST(DeviceValues, ARecordCountsAsSentOnceAFrameCarriedIt) {
    struct Case {
        std::vector<std::uint8_t> types;
        bool channels, banks;
    };
    const Case cases[] = {
        {{}, false, false},
        {{VANDRY_PAYLOAD_CHANNELS}, true, false},
        {{VANDRY_PAYLOAD_BANKS}, false, true},
        {{VANDRY_PAYLOAD_BOTH}, true, true},
        {{7, 0xFF}, false, false},
        {{VANDRY_PAYLOAD_BANKS, 7, VANDRY_PAYLOAD_CHANNELS}, true, true},
    };
    for (const Case& c : cases) {
        DeviceValues values;
        for (std::uint8_t type : c.types) values.take(PortRecords{}, type);  // all zero, and still sent
        EXPECT_EQ(values.sources().channels != nullptr, c.channels) << c.types.size();
        EXPECT_EQ(values.sources().banks != nullptr, c.banks) << c.types.size();
    }
    DeviceValues values;
    values.take(channel_values{});  // a compatible report carries the channels
    EXPECT_NE(values.sources().channels, nullptr);
    EXPECT_EQ(values.sources().banks, nullptr);
}

}  // namespace
}  // namespace vandry_tools
