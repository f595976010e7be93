// The serial speeds the monitor offers, the same on every system, so that a
// command line means the same everywhere. Each system's port maps them onto
// its own settings.
#pragma once

namespace vandry_tools {

inline constexpr unsigned kBaudRates[] = {1200,   2400,   4800,   9600,    19200,   38400,   57600,  115200,
                                          230400, 460800, 500000, 921600, 1000000, 1500000, 2000000};

}  // namespace vandry_tools
