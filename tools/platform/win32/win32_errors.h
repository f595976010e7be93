// Windows error codes as words a user can act on.
#pragma once

#include <windows.h>

#include <string>

namespace vandry_tools {

// The system's own text for `code`, without its final period and line end.
std::string system_message(DWORD code);

}  // namespace vandry_tools
