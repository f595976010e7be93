// COM ports on Windows: their names, opening, the line's settings and
// timeouts, and the errors that mean the device went away.
#pragma once

#include <windows.h>

#include <string>

namespace vandry_tools {

// COM5, com12 and \\.\COM12 name COM ports; anything else is a file.
bool names_com_port(const std::string& name);
// The one name of a COM port however it is written (COM12 for \\.\com12).
std::string com_port_name(const std::string& name);

// 8 data bits, at `baud`, with this parity and these stop bits.
struct LineSettings {
    DWORD baud;
    BYTE parity;     // NOPARITY, EVENPARITY
    BYTE stop_bits;  // ONESTOPBIT, TWOSTOPBITS
};

// An open COM port, raw, without flow control. The settings and timeouts
// found on opening are restored on closing.
class ComPort {
public:
    ComPort() = default;
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;
    ~ComPort() { close(); }

    // `label` names the port in messages ("COM5", "the SBUS output COM5").
    // Each returns an empty string, or the reason.
    std::string open(const std::string& name, const std::string& label);
    std::string set_line(const LineSettings& line);
    // Reads return after `read_ms` with what came, at once with 0;
    // a write gives up after `write_ms`. Only changes are sent to the driver.
    bool set_timeouts(DWORD read_ms, DWORD write_ms);
    void close();

    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }
    const std::string& label() const { return label_; }
    // "cannot WHAT LABEL: the system's words", with a hint for the usual causes.
    std::string failure(const std::string& what, DWORD code) const;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::string label_;
    DCB saved_{};
    COMMTIMEOUTS saved_timeouts_{};
    COMMTIMEOUTS timeouts_{};
    bool restore_ = false;
};

// Errors a port gives once its USB device is unplugged.
bool means_unplugged(DWORD code);

}  // namespace vandry_tools
