// What the monitor writes to stdout, kept in order until stdout takes it,
// so that a slow or stalled reader never holds up the monitor's loop (the
// port is read on time, the SBUS and UDP outputs keep going) and nothing
// written is lost. The backlog is bounded: a reader that falls further
// behind than the limit fails the run rather than have lines dropped or
// memory grow without end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform.h"

namespace vandry_tools {

// Minutes of JSON lines at the fastest rates a device sends (a kilohertz of
// lines of a few hundred bytes is a few hundred KiB a second).
inline constexpr std::size_t kStdoutBacklogLimit = std::size_t{64} << 20;

// Where the backlog goes: the system's stdout, or a test's stand-in.
class StdoutSink {
public:
    virtual ~StdoutSink() = default;
    virtual WriteStatus offer(std::string_view text, std::size_t& taken, std::string& error) = 0;
    virtual void wait(double seconds) = 0;
    virtual bool flushed() = 0;
};

StdoutSink& system_stdout();

class StdoutBacklog {
public:
    explicit StdoutBacklog(std::size_t limit = kStdoutBacklogLimit, StdoutSink& sink = system_stdout())
        : limit_(limit), sink_(sink) {}

    // Keeps `text` after what is kept already and hands stdout what it takes
    // now. Each returns false once stdout is closed or failed, or the backlog
    // outgrew its limit: see status() and error().
    bool write(std::string_view text);
    bool hand_over();

    bool empty() const { return pending() == 0; }
    std::size_t pending() const { return kept_.size() - head_; }

    // Waits until stdout has taken and sent everything. A stop request with a
    // reader that takes nothing for `patience` seconds ends it as if the
    // reader had gone (status closed).
    bool drain(double patience);

    WriteStatus status() const { return status_; }
    const std::string& error() const { return error_; }

private:
    std::size_t limit_;
    StdoutSink& sink_;
    std::string kept_;
    std::size_t head_ = 0;  // kept_ before it is taken; compacted now and then, not per hand-over
    WriteStatus status_ = WriteStatus::ok;
    std::string error_;
};

}  // namespace vandry_tools
