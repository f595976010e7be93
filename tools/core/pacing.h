// Timing rules shared by the outputs that repeat the device's values (the
// SBUS line and the UDP outputs): a steady rate that never bursts, and a
// failsafe that stops sending values that have gone stale.
#pragma once

#include <limits>
#include <string>
#include <string_view>

namespace vandry_tools {

// Fires at most once per period. A caller that comes late (a stall, a
// stopped process) gets one tick and the missed ones are skipped, so that
// the receiver never sees a burst of old frames.
class Ticker {
public:
    explicit Ticker(double period) : period_(period) {}

    bool due(double now);
    double next() const { return next_; }  // when it fires next; 0 before the first tick

private:
    double period_;
    double next_ = 0;
    bool started_ = false;
};

// Data older than a limit is stale. An output holding old stick positions
// forever is worse than none: it stops while the data is stale, so that
// the receiver's own failsafe takes over, and resumes with fresh data.
class Freshness {
public:
    explicit Freshness(double limit_seconds) : limit_(limit_seconds) {}

    void renew(double now) { last_ = now; have_data_ = true; }
    bool fresh(double now) const { return have_data_ && now - last_ <= limit_; }
    bool has_data() const { return have_data_; }
    double last() const { return last_; }
    double stale_at() const { return last_ + limit_; }
    double limit() const { return limit_; }

    enum class Change { none, went_stale, fresh_again };
    // What changed since the previous call; the first data is no change.
    Change change(double now);

private:
    double limit_;
    double last_ = 0;
    bool have_data_ = false;
    bool reported_stale_ = false;
};

// When an output that repeats the device's values sends: once per update,
// never closer together than `min_interval` (what its line carries), or at a
// steady `rate` (0: per update); and never while the data is stale. The SBUS
// and UDP outputs each have one, so that one rule decides for all of them.
class Repeater {
public:
    Repeater(double rate, double min_interval, double stale_limit);

    // An update arrived; `renews` when it brought the values this output
    // sends, so that an update without them cannot keep old ones fresh.
    void update(double now, bool renews = true);
    // Whether to send now; a true answer counts as sent.
    bool due(double now);
    double next_wake(double now) const;
    // What the output `name` says when its data went stale or came back
    // since the previous call ("" when neither): that it stopped, so that
    // `peer` goes to its failsafe, or that it resumed.
    std::string says(double now, const std::string& name, std::string_view peer);

private:
    double rate_;
    double min_interval_;
    Ticker ticker_;
    Freshness freshness_;
    bool pending_ = false;  // an update not yet sent (per update)
    double last_sent_ = -std::numeric_limits<double>::infinity();
};

}  // namespace vandry_tools
