// Files read by the tools on Windows.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "com_port.h"
#include "platform.h"

namespace vandry_tools {

// A pipe is read without stdio's buffer: fread waits until it has all it
// asked for, and would hold back what a stalled writer has sent.
struct InputFile::State {
    std::FILE* file = nullptr;
    bool pipe = false;
    double until = 0;
    WhileWaiting while_waiting;

    int fd() const { return _fileno(file); }
    HANDLE handle() const { return reinterpret_cast<HANDLE>(_get_osfhandle(fd())); }
    bool wait_for_bytes(DWORD& available) const;
};

namespace {

constexpr double kPipePollSeconds = 0.01;  // a pipe cannot be waited on; it is asked this often

}  // namespace

// Waits until a pipe holds bytes (or its writer has gone), calling
// while_waiting all the while; false at a stop request, at `until` (0: no
// limit) or when while_waiting ends the wait, as on POSIX.
bool InputFile::State::wait_for_bytes(DWORD& available) const {
    while (!stop_requested()) {
        if (!PeekNamedPipe(handle(), nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
        double left = until == 0 ? kPipePollSeconds : until - now_seconds();
        if (left <= 0) return false;
        if (while_waiting) {
            const double asked = while_waiting();
            if (asked < 0) return false;
            left = std::min(left, asked);
        }
        pause_for(std::min(left, kPipePollSeconds));
    }
    return false;
}

InputFile::InputFile() : state_(std::make_unique<State>()) {}
InputFile::~InputFile() {
    if (state_->file != nullptr) std::fclose(state_->file);
}
bool InputFile::is_open() const { return state_->file != nullptr; }

bool InputFile::open(const std::string& path, const std::string& role, double until, WhileWaiting while_waiting,
                     std::string& error) {
    if (state_->file != nullptr) std::fclose(state_->file);
    state_->file = nullptr;
    // Windows refuses to open a folder as a file with "Permission denied", which sends the user looking at rights.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "cannot open " + role + " " + path + ": " + std::strerror(EISDIR);
        return false;
    }
    state_->file = std::fopen(path.c_str(), "rb");
    if (state_->file == nullptr) {
        error = "cannot open " + role + " " + path + ": " + std::strerror(errno);
        return false;
    }
    state_->pipe = GetFileType(state_->handle()) == FILE_TYPE_PIPE;
    state_->until = until;
    state_->while_waiting = std::move(while_waiting);
    return true;
}

std::ptrdiff_t InputFile::read_some(std::uint8_t* buffer, std::size_t size) {
    if (!state_->pipe) {
        const std::size_t n = std::fread(buffer, 1, size, state_->file);
        return n == 0 && std::ferror(state_->file) ? -1 : static_cast<std::ptrdiff_t>(n);
    }
    DWORD available = 0;
    if (!state_->wait_for_bytes(available)) return 0;  // read as the end
    auto wanted = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
    if (available > 0) wanted = std::min<unsigned>(wanted, available);
    return _read(state_->fd(), buffer, wanted);  // a pipe whose writer went away reads as the end
}

// A COM port is known by its name: the one this program has open may not
// be opened again to be asked (under Wine it can, and both would then
// write to the device). Only a COM port is a source here, and a file is
// never one.
bool same_file(const std::string& a, const std::string& b) {
    return names_com_port(a) && names_com_port(b) && com_port_name(a) == com_port_name(b);
}

// There is no /dev/stdout; CON is refused as an existing file.
bool is_stdout(const std::string&) { return false; }

}  // namespace vandry_tools
