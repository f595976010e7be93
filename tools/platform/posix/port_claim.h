// A serial device for one program at a time, as COM ports are on Windows:
// two programs that share a port split its bytes between them, and one's
// stop frame ends the other's session.
#pragma once

#include <string>

namespace vandry_tools {

// Claims `fd`, a serial device just opened as `name` (its path, or what it
// is for and its path): an advisory lock, which every vandry tool takes and
// root honours too, and the terminal's exclusive mode, which keeps other
// programs out. Root is let in by the system, so a port that another
// program holds exclusively is refused here. Empty, or why the device is
// not ours; a refused claim leaves the other program's alone.
std::string claim_port(int fd, const std::string& name);

// What a refused claim says; also what opening says when the system refuses
// the open itself (EBUSY: another program holds the port exclusively).
std::string port_in_use(const std::string& name);

// Before closing: the exclusive mode outlives the descriptor while the
// other side of a pseudo-terminal stays open, and would refuse the next run.
void release_port(int fd);

}  // namespace vandry_tools
