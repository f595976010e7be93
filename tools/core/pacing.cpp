#include "pacing.h"

namespace vandry_tools {

bool Ticker::due(double now) {
    if (started_ && now < next_) return false;
    // Keep to the grid while only a little late; never schedule the next
    // tick less than half a period away.
    const double on_grid = next_ + period_;
    next_ = started_ && on_grid >= now + period_ / 2 ? on_grid : now + period_;
    started_ = true;
    return true;
}

Freshness::Change Freshness::change(double now) {
    if (!have_data_) return Change::none;
    const bool stale = !fresh(now);
    if (stale == reported_stale_) return Change::none;
    reported_stale_ = stale;
    return stale ? Change::went_stale : Change::fresh_again;
}

}  // namespace vandry_tools
