// Files read by the tools on Windows.
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "com_port.h"
#include "platform.h"

namespace vandry_tools {

// A named pipe is not a path users replay from here: no wait is needed.
struct InputFile::State {
    std::FILE* file = nullptr;
};

InputFile::InputFile() : state_(std::make_unique<State>()) {}
InputFile::~InputFile() {
    if (state_->file != nullptr) std::fclose(state_->file);
}
bool InputFile::is_open() const { return state_->file != nullptr; }

bool InputFile::open(const std::string& path, const std::string& role, double, WhileWaiting, std::string& error) {
    if (state_->file != nullptr) std::fclose(state_->file);
    state_->file = nullptr;
    // Windows refuses to open a folder as a file with "Permission denied", which sends the user looking at rights.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "cannot open " + role + " " + path + ": " + std::strerror(EISDIR);
        return false;
    }
    state_->file = std::fopen(path.c_str(), "rb");
    if (state_->file == nullptr) error = "cannot open " + role + " " + path + ": " + std::strerror(errno);
    return state_->file != nullptr;
}

std::ptrdiff_t InputFile::read_some(std::uint8_t* buffer, std::size_t size) {
    const std::size_t n = std::fread(buffer, 1, size, state_->file);
    return n == 0 && std::ferror(state_->file) ? -1 : static_cast<std::ptrdiff_t>(n);
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
