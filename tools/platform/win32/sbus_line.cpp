// The SBUS output on Windows: a COM port at 100000 baud 8E2, or a new file.
#include <windows.h>

#include <vector>

#include "com_port.h"
#include "platform.h"
#include "win32_errors.h"

namespace vandry_tools {
namespace {

// One frame takes 3 ms on the line; a write that cannot start within a few
// frames' time finds the line full, and the frame is dropped, not queued.
constexpr DWORD kWriteTimeoutMs = 10;

}  // namespace

struct SbusLine::State {
    ComPort port;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    std::vector<std::uint8_t> unsent;  // the rest of a frame the line took only in part

    HANDLE handle() const { return port.is_open() ? port.handle() : file; }
};

SbusLine::SbusLine() : state_(std::make_unique<State>()) {}

SbusLine::~SbusLine() {
    if (state_->file != INVALID_HANDLE_VALUE) CloseHandle(state_->file);
}

std::string SbusLine::open(const std::string& path) {
    State& s = *state_;
    s.path = path;
    const std::string label = "the SBUS output " + path;
    if (names_com_port(path)) {
        if (std::string problem = s.port.open(path, label); !problem.empty()) return problem;
        std::string problem = s.port.set_line({100000, EVENPARITY, TWOSTOPBITS});
        if (problem.empty() && !s.port.set_timeouts(0, kWriteTimeoutMs))
            problem = s.port.failure("configure", GetLastError());
        return problem;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return label + " is not a COM port or file";
        return label + " is an existing file, which is never overwritten";
    }
    s.file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.file == INVALID_HANDLE_VALUE) return "cannot create " + label + ": " + system_message(GetLastError());
    return {};
}

// As on every system: a frame the line took in part is finished before the
// next one starts, and one the line took none of is dropped whole.
SbusLine::Sent SbusLine::send(std::span<const std::uint8_t> frame, std::string& error) {
    State& s = *state_;
    const auto write_unsent = [&](DWORD& failure) {
        while (!s.unsent.empty()) {
            DWORD written = 0;
            if (!WriteFile(s.handle(), s.unsent.data(), static_cast<DWORD>(s.unsent.size()), &written, nullptr)) {
                failure = GetLastError();
                return false;
            }
            if (written == 0) {
                failure = ERROR_SEM_TIMEOUT;  // the line is full
                return false;
            }
            s.unsent.erase(s.unsent.begin(), s.unsent.begin() + written);
        }
        return true;
    };
    const auto outcome = [&](DWORD failure) {
        if (failure == ERROR_SEM_TIMEOUT) return Sent::busy;
        s.unsent.clear();
        error = "cannot write the SBUS output " + s.path + ": " + system_message(failure);
        return Sent::failed;
    };
    DWORD failure = 0;
    if (!write_unsent(failure)) return outcome(failure);  // this frame is dropped
    s.unsent.assign(frame.begin(), frame.end());
    if (write_unsent(failure)) return Sent::sent;
    if (failure == ERROR_SEM_TIMEOUT && s.unsent.size() == frame.size()) s.unsent.clear();  // never started
    return outcome(failure);
}

}  // namespace vandry_tools
