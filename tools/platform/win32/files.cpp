// Files read by the tools on Windows.
#include <cerrno>
#include <cstring>

#include "platform.h"

namespace vandry_tools {

// A named pipe is not a path users replay from here: no wait is needed.
std::FILE* open_to_read(const std::string& path, const std::string& role, double, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) error = "cannot open " + role + " " + path + ": " + std::strerror(errno);
    return file;
}

// A COM port opens once (the second open is refused as in use), and there
// is no /dev/stdout: nothing more to find here.
bool same_file(const std::string&, const std::string&) { return false; }
bool is_stdout(const std::string&) { return false; }

}  // namespace vandry_tools
