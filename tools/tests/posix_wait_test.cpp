// Waits on POSIX: never early, and not rounded up to whole milliseconds,
// which would make every tick of a 1000 Hz output late.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform.h"

namespace vandry_tools {
namespace {

TEST(PauseFor, NeverWakesEarlyAndWakesWithinAMillisecond) {
    for (double asked : {0.0002, 0.0007, 0.0013}) {
        double best = 1;
        for (int attempt = 0; attempt < 20; ++attempt) {  // the best of several: a loaded machine wakes late now and then
            const double started = now_seconds();
            pause_for(asked);
            const double took = now_seconds() - started;
            EXPECT_GE(took, asked) << "asked " << asked;
            best = std::min(best, took);
        }
        EXPECT_LT(best, asked + 0.0006) << "asked " << asked;
    }
}

}  // namespace
}  // namespace vandry_tools
