// The monitor's built-in device is a process on a pseudo-terminal, which
// Windows does not have: here it only says so.
#include "platform.h"

namespace vandry_tools {

struct BuiltInDevice::State {
    std::string path;
};

BuiltInDevice::BuiltInDevice() : state_(std::make_unique<State>()) {}
BuiltInDevice::~BuiltInDevice() = default;

const std::string& BuiltInDevice::path() const { return state_->path; }

std::string BuiltInDevice::start(const SimulatorOptions&) {
    return "the built-in simulated device is Linux-only; give --port or --replay";
}

}  // namespace vandry_tools
