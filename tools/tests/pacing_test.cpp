// The rate and failsafe rules of the outputs, on a clock the test drives.
#include <gtest/gtest.h>

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
    // update at each time in `updates`.
    std::size_t run(double until, const std::vector<double>& updates) {
        SbusLine line;
        EXPECT_EQ(line.open(options_.sbus_out), "");
        SbusSender sender(line, options_);
        std::size_t next = 0;
        for (double t = 0; t < until; t += 0.001) {
            for (; next < updates.size() && updates[next] <= t; ++next) sender.update(PortRecords{}, t);
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

}  // namespace
}  // namespace vandry_tools
