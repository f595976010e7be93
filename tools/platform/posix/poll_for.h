// poll() with a wait in seconds, to the microsecond: a wait in whole
// milliseconds, rounded up so as never to wake early, makes every tick of
// a 1000 Hz output up to a millisecond late.
#pragma once

#include <poll.h>

#include <cmath>
#include <ctime>

namespace vandry_tools {

// A negative wait is no limit.
inline int poll_for(pollfd* fds, nfds_t count, double seconds) {
    if (seconds < 0) return ppoll(fds, count, nullptr, nullptr);
    const double whole = std::floor(seconds);
    const timespec wait{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
    return ppoll(fds, count, &wait, nullptr);
}

}  // namespace vandry_tools
