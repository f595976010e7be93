#include "com_port.h"

#include <algorithm>
#include <cctype>

#include "platform.h"
#include "win32_errors.h"

namespace vandry_tools {
namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string without_device_prefix(const std::string& name) {
    return name.rfind(kDevicePrefix, 0) == 0 ? name.substr(sizeof kDevicePrefix - 1) : name;
}

}  // namespace

std::string com_port_name(const std::string& name) { return upper(without_device_prefix(name)); }

bool names_com_port(const std::string& name) {
    const std::string bare = com_port_name(name);
    return bare.size() > 3 && bare.compare(0, 3, "COM") == 0 &&
           std::all_of(bare.begin() + 3, bare.end(), [](char c) { return c >= '0' && c <= '9'; });
}

namespace {

// COM10 and above open only through the device namespace; it works for all.
std::string device_path(const std::string& name) {
    return names_com_port(name) ? kDevicePrefix + without_device_prefix(name) : name;
}

std::string parity_letter(BYTE parity) { return parity == EVENPARITY ? "E" : parity == ODDPARITY ? "O" : "N"; }

std::string settings_text(const DCB& dcb) {
    return std::to_string(dcb.BaudRate) + " baud " + std::to_string(dcb.ByteSize) + parity_letter(dcb.Parity) +
           (dcb.StopBits == TWOSTOPBITS ? "2" : dcb.StopBits == ONE5STOPBITS ? "1.5" : "1");
}

void raw_line(DCB& dcb, const LineSettings& line) {
    dcb.BaudRate = line.baud;
    dcb.ByteSize = 8;
    dcb.Parity = line.parity;
    dcb.StopBits = line.stop_bits;
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity != NOPARITY;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;  // a framing error must not stop every read until it is cleared
}

}  // namespace

bool means_unplugged(DWORD code) {
    switch (code) {
        case ERROR_NOT_READY:
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_FILE_NOT_FOUND: return true;
        default: return false;
    }
}

std::string ComPort::failure(const std::string& what, DWORD code) const {
    std::string text = "cannot " + what + " " + label_ + ": " + system_message(code);
    if (what == "open" && code == ERROR_ACCESS_DENIED) text += " (is another program using the port?)";
    if (what == "open" && code == ERROR_FILE_NOT_FOUND) text += " (vandry-monitor --list-ports shows the ports)";
    return text;
}

std::string ComPort::open(const std::string& name, const std::string& label) {
    close();
    label_ = label;
    handle_ = CreateFileA(device_path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return failure("open", GetLastError());
    saved_.DCBlength = sizeof saved_;
    if (!GetCommState(handle_, &saved_) || !GetCommTimeouts(handle_, &saved_timeouts_)) {
        close();
        return label_ + " is not a serial port";
    }
    timeouts_ = saved_timeouts_;
    return {};
}

std::string ComPort::set_line(const LineSettings& line) {
    DCB wanted = saved_;
    raw_line(wanted, line);
    if (!SetCommState(handle_, &wanted)) return failure("set " + settings_text(wanted) + " on", GetLastError());
    restore_ = true;
    // Some drivers (and emulators) take a speed they cannot make without a
    // word; a receiver then sees garbage, so say what the port reports.
    DCB now{};
    now.DCBlength = sizeof now;
    if (GetCommState(handle_, &now) && settings_text(now) != settings_text(wanted))
        write_stderr("vandry-monitor: " + label_ + " reports " + settings_text(now) + " instead of " +
                     settings_text(wanted) + "; the driver may not support it\n");
    PurgeComm(handle_, PURGE_RXCLEAR);  // what arrived before we asked belongs to nobody
    return {};
}

bool ComPort::set_timeouts(DWORD read_ms, DWORD write_ms) {
    COMMTIMEOUTS wanted{};
    // MAXDWORD alone: return at once with what is there. Otherwise wait up
    // to read_ms in all; callers ask for no more than has come, or for one
    // byte, so that a read returns as soon as something arrives.
    wanted.ReadIntervalTimeout = read_ms == 0 ? MAXDWORD : 0;
    wanted.ReadTotalTimeoutConstant = read_ms;
    wanted.WriteTotalTimeoutConstant = write_ms;
    if (wanted.ReadIntervalTimeout == timeouts_.ReadIntervalTimeout &&
        wanted.ReadTotalTimeoutConstant == timeouts_.ReadTotalTimeoutConstant &&
        wanted.ReadTotalTimeoutMultiplier == timeouts_.ReadTotalTimeoutMultiplier &&
        wanted.WriteTotalTimeoutConstant == timeouts_.WriteTotalTimeoutConstant &&
        wanted.WriteTotalTimeoutMultiplier == timeouts_.WriteTotalTimeoutMultiplier)
        return true;
    if (!SetCommTimeouts(handle_, &wanted)) return false;
    timeouts_ = wanted;
    restore_ = true;
    return true;
}

void ComPort::close() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    if (restore_) {
        SetCommState(handle_, &saved_);
        SetCommTimeouts(handle_, &saved_timeouts_);
    }
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    restore_ = false;
}

}  // namespace vandry_tools
