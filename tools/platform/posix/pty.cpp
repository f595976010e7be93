#include "pty.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace vandry_tools {
namespace {

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

// Where a symbolic link points, or empty.
std::string link_target(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

bool names_a_pseudo_terminal(const std::string& target) { return target.rfind("/dev/pts/", 0) == 0; }

}  // namespace

std::string open_pty(Pty& pty) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty.master < 0) return errno_text("cannot open a pseudo-terminal");
    char name[128];
    if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0 || ptsname_r(pty.master, name, sizeof name) != 0) {
        const std::string reason = errno_text("cannot set up a pseudo-terminal");
        close_pty(pty);
        return reason;
    }
    pty.path = name;
    pty.slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty.slave < 0) {
        const std::string reason = errno_text("cannot open " + pty.path);
        close_pty(pty);
        return reason;
    }
    termios raw{};
    tcgetattr(pty.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
    return {};
}

void close_pty(Pty& pty) {
    if (pty.slave >= 0) ::close(pty.slave);
    if (pty.master >= 0) ::close(pty.master);
    pty.slave = pty.master = -1;
}

std::string announce_port(const Pty& pty) {
    std::string error;
    return write_stdout(pty.path + "\n", error) == WriteStatus::failed ? "cannot say the port's path: " + error : "";
}

std::string PortLink::create(const std::string& link, const std::string& target) {
    struct stat info {};
    if (lstat(link.c_str(), &info) != 0) {
        if (errno != ENOENT) return errno_text("cannot use " + link);
        // Nothing there: symlink() fails rather than replace what may appear meanwhile.
        if (symlink(target.c_str(), link.c_str()) != 0) return errno_text("cannot create the link " + link);
        link_ = link;
        target_ = target;
        return {};
    }
    if (!S_ISLNK(info.st_mode))
        return link + " exists and is not a link to a pseudo-terminal; it is left alone (choose another --link)";
    const std::string old = link_target(link);
    if (!names_a_pseudo_terminal(old))
        return link + " is a link to " + old + ", not to a pseudo-terminal; it is left alone (choose another --link)";
    link_ = link;
    return replace(target);
}

std::string PortLink::point_to(const std::string& target) {
    if (link_.empty()) return {};
    if (link_target(link_) != target_) return link_ + " was changed by someone else; it is left alone";
    return replace(target);
}

// A new link under a temporary name, renamed over the old one: the path is
// never missing or half made for a host that opens it meanwhile.
std::string PortLink::replace(const std::string& target) {
    const std::string temporary = link_ + ".vandry-sim-" + std::to_string(getpid());
    if (symlink(target.c_str(), temporary.c_str()) != 0) return errno_text("cannot create the link " + temporary);
    if (rename(temporary.c_str(), link_.c_str()) != 0) {
        const std::string reason = errno_text("cannot replace the link " + link_);
        unlink(temporary.c_str());
        return reason;
    }
    target_ = target;
    return {};
}

void PortLink::remove() {
    if (!link_.empty() && !target_.empty() && link_target(link_) == target_) unlink(link_.c_str());
    link_.clear();
    target_.clear();
}

}  // namespace vandry_tools
