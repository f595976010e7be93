// Pseudo-terminals for the simulated device (POSIX only): the device works
// on the master side, a host opens the other side like a serial port.
#pragma once

#include <string>

namespace vandry_tools {

struct Pty {
    int master = -1;
    int slave = -1;  // the device's own hold on the port's side; -1 when it holds none
    std::string path;
};

// Opens a pair in raw mode. Returns an empty string or the reason.
std::string open_pty(Pty& pty);
void close_pty(Pty& pty);

// Prints the port's path on a line of its own, the one way a host learns
// it without --link. Returns an empty string, or why it could not (a full
// disk); a reader that has gone away is not an error.
std::string announce_port(const Pty& pty);

// A symbolic link to the port. It never replaces anything but a missing
// path or a link to a pseudo-terminal (one left by an earlier run), and
// is removed at the end only if it still points where this run put it.
class PortLink {
public:
    PortLink() = default;
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;
    ~PortLink() { remove(); }

    std::string create(const std::string& link, const std::string& target);  // empty or the reason
    std::string point_to(const std::string& target);                         // a new port, same link
    void remove();

private:
    std::string replace(const std::string& target);

    std::string link_;
    std::string target_;
};

}  // namespace vandry_tools
