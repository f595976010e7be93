// The POSIX side's serial-port listing, under any root folder, so that a
// test can lay out a /dev of its own.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

namespace vandry_tools {

// The links in ROOT/dev/serial/by-id with the devices they point to, then
// the ROOT/dev/ttyUSB* and ttyACM* devices that no link named, in number order.
std::vector<SerialPortEntry> list_serial_ports_under(const std::string& root, std::string& error);

}  // namespace vandry_tools
