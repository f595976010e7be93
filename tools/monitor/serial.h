// Opening and configuring serial devices for the monitor.
#pragma once

#include <termios.h>

#include <string>

namespace vandry_monitor {

// A port in raw 8N1 at the given speed. Its settings are restored when it
// is closed.
class SerialPort {
public:
    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort() { close(); }

    // Returns an empty string on success, or a one-line reason.
    std::string open(const std::string& path, unsigned baud);
    void close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool restore_ = false;
    termios saved_{};
};

// Opens the SBUS output. A serial device is set to 100000 baud 8E2; a file
// or pipe is written as it is. Returns the descriptor, or -1 with `error`.
int open_sbus_output(const std::string& path, std::string& error);

// Sets a serial device to 100000 baud 8E2, a speed termios cannot name.
bool set_sbus_line(int fd);

}  // namespace vandry_monitor
