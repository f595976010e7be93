// The device's serial port on Windows: a COM port, read with timeouts.
#include <windows.h>

#include <algorithm>
#include <cmath>

#include "baud_rates.h"
#include "com_port.h"
#include "platform.h"
#include "win32_errors.h"

namespace vandry_tools {
namespace {

// A read waits for the first byte at most this long, so that a stop request
// is seen soon; the core simply reads again.
constexpr DWORD kLongestReadWaitMs = 50;
constexpr DWORD kWriteTimeoutMs = 1000;

}  // namespace

std::span<const unsigned> supported_baud_rates() { return kBaudRates; }

struct Port::State {
    ComPort port;
};

Port::Port() : state_(std::make_unique<State>()) {}
Port::~Port() { close(); }

bool Port::is_open() const { return state_->port.is_open(); }

std::string Port::open_serial(const std::string& path, unsigned baud) {
    close();
    if (std::find(std::begin(kBaudRates), std::end(kBaudRates), baud) == std::end(kBaudRates))
        return "unsupported baud rate " + std::to_string(baud);
    ComPort& port = state_->port;
    if (std::string problem = port.open(path, path); !problem.empty()) return problem;
    std::string problem = port.set_line({baud, NOPARITY, ONESTOPBIT});
    if (problem.empty() && !port.set_timeouts(0, kWriteTimeoutMs)) problem = port.failure("configure", GetLastError());
    if (!problem.empty()) close();
    return problem;
}

std::string Port::open_hid(const std::string& path) {
    close();
    return "cannot open " + path + ": HID reports are read through Linux hidraw only";
}

void Port::close() { state_->port.close(); }

// Asks the driver how much has come, and reads exactly that, which never
// waits; with nothing there it waits for one byte. (A read of "whatever
// comes within N ms" is not the same on every driver, or under Wine.)
ReadResult Port::read(std::uint8_t* buffer, std::size_t size, double timeout_seconds) {
    const auto timeout_ms = static_cast<DWORD>(std::ceil(std::clamp(timeout_seconds, 0.0, 3600.0) * 1000));  // never early
    ComPort& port = state_->port;
    const auto fault = [&](DWORD code) {
        if (means_unplugged(code))
            return ReadResult{ReadStatus::vanished, 0,
                              port.label() + " vanished: " + system_message(code) + " (device unplugged?)"};
        return ReadResult{ReadStatus::failed, 0, port.failure("read", code)};
    };
    COMSTAT status{};
    DWORD line_errors = 0;
    if (!ClearCommError(port.handle(), &line_errors, &status)) return fault(GetLastError());
    if (status.cbInQue == 0 && (timeout_ms == 0 || stop_requested())) return {};
    const DWORD wanted = status.cbInQue != 0 ? std::min<DWORD>(static_cast<DWORD>(size), status.cbInQue) : 1;
    const DWORD wait = status.cbInQue != 0 ? 0 : std::min<DWORD>(timeout_ms, kLongestReadWaitMs);
    if (!port.set_timeouts(wait, kWriteTimeoutMs)) return fault(GetLastError());
    DWORD got = 0;
    if (!ReadFile(port.handle(), buffer, wanted, &got, nullptr)) return fault(GetLastError());
    if (got == 0) return {};
    const bool more = ClearCommError(port.handle(), &line_errors, &status) && status.cbInQue != 0;
    return {ReadStatus::bytes, got, {}, more};
}

std::string Port::write_all(std::span<const std::uint8_t> bytes) {
    ComPort& port = state_->port;
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!WriteFile(port.handle(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            return port.failure("write to", GetLastError());
        if (written == 0) return "cannot write to " + port.label() + ": the port takes nothing (1 s)";
        bytes = bytes.subspan(written);
    }
    return {};
}

void Port::drain() {
    // FlushFileBuffers can wait forever on a stuck line; half a second is
    // plenty for a few bytes at any supported speed.
    const double until = now_seconds() + 0.5;
    COMSTAT status{};
    DWORD line_errors = 0;
    while (ClearCommError(state_->port.handle(), &line_errors, &status) && status.cbOutQue > 0 && now_seconds() < until)
        Sleep(5);
}

}  // namespace vandry_tools
