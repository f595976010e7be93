#include "port_claim.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace vandry_tools {

std::string claim_port(int fd, const std::string& name) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return name + " is in use by another program";
    if (ioctl(fd, TIOCEXCL) != 0 && errno == EBUSY) return name + " is in use by another program";
    return {};
}

void release_port(int fd) { ioctl(fd, TIOCNXCL); }

}  // namespace vandry_tools
