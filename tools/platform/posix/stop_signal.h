// The POSIX side's own access to stop requests: a descriptor that becomes
// readable when one arrives, for poll() calls that must not sleep through a
// signal that lands between their check of stop_requested() and the call.
#pragma once

namespace vandry_tools {

// Readable from the first stop request on; -1 before install_stop_handlers().
int stop_request_fd();

}  // namespace vandry_tools
