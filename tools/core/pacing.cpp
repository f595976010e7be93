#include "pacing.h"

#include <algorithm>
#include <cmath>

namespace vandry_tools {

bool Ticker::due(double now) {
    if (started_ && now < next_) return false;
    // Keep to the grid while less than a period late, so that a wake-up's
    // lateness does not add to every period; but never schedule the next
    // tick less than half a period away.
    const bool on_time = started_ && now - next_ < period_;
    next_ = on_time ? std::max(next_ + period_, now + period_ / 2) : now + period_;
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

Repeater::Repeater(double rate, double min_interval, double stale_limit)
    : rate_(rate), min_interval_(min_interval), ticker_(rate > 0 ? 1.0 / rate : min_interval), freshness_(stale_limit) {}

void Repeater::update(double now, bool renews) {
    pending_ = true;
    if (renews) freshness_.renew(now);
}

bool Repeater::due(double now) {
    if (!freshness_.fresh(now)) return false;
    if (rate_ > 0) return ticker_.due(now);
    // A later send carries the newest values, so updates that come too close
    // together share one.
    if (!pending_ || now < last_sent_ + min_interval_) return false;
    pending_ = false;
    last_sent_ = now;
    return true;
}

std::string Repeater::says(double now, const std::string& name, std::string_view peer) {
    switch (freshness_.change(now)) {
        case Freshness::Change::went_stale:
            return name + " stopped: no data for " + std::to_string(std::lround(freshness_.limit() * 1000)) +
                   " ms (" + std::string(peer) + " goes to its failsafe)";
        case Freshness::Change::fresh_again: return name + " resumed: fresh data";
        case Freshness::Change::none: break;
    }
    return {};
}

double Repeater::next_wake(double now) const {
    if (!freshness_.fresh(now)) return now + 3600;  // the next update wakes the caller
    double wake = freshness_.stale_at() + 0.001;   // to say that it stopped
    if (rate_ > 0) wake = std::min(wake, ticker_.next());
    if (rate_ <= 0 && pending_) wake = std::min(wake, last_sent_ + min_interval_);
    return wake;
}

}  // namespace vandry_tools
