#include "port_claim.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace vandry_tools {

std::string port_in_use(const std::string& name) { return name + " is in use by another program"; }

std::string claim_port(int fd, const std::string& name) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return port_in_use(name);
    // Root opens a port that another program holds exclusively, but it is
    // still theirs: sharing it would split its bytes.
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return port_in_use(name);
    if (ioctl(fd, TIOCEXCL) != 0 && errno == EBUSY) return port_in_use(name);
    return {};
}

void release_port(int fd) { ioctl(fd, TIOCNXCL); }

}  // namespace vandry_tools
