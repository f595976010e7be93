// The COM ports Windows knows: those its drivers registered under
// HARDWARE\DEVICEMAP\SERIALCOMM, and any other COM name among the DOS
// devices (some virtual ports appear only there).
#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <vector>

#include "com_port.h"
#include "platform.h"
#include "win32_errors.h"

namespace vandry_tools {
namespace {

using Ports = std::map<std::string, std::string>;  // COM name -> its device

std::string registry_problem(LONG code) {
    return "cannot read HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: " + system_message(static_cast<DWORD>(code));
}

std::string read_serialcomm(Ports& ports) {
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (opened == ERROR_FILE_NOT_FOUND) return {};  // no port was ever there
    if (opened != ERROR_SUCCESS) return registry_problem(opened);
    for (DWORD index = 0;; ++index) {
        char device[256], name[256];
        DWORD device_size = sizeof device, name_size = sizeof name, type = 0;
        const LONG got = RegEnumValueA(key, index, device, &device_size, nullptr, &type,
                                       reinterpret_cast<BYTE*>(name), &name_size);
        if (got == ERROR_NO_MORE_ITEMS) break;
        if (got == ERROR_MORE_DATA) continue;  // not a name a port has
        if (got != ERROR_SUCCESS) {
            RegCloseKey(key);
            return registry_problem(got);
        }
        if (type == REG_SZ && name_size > 0) ports[std::string(name, strnlen(name, name_size))] = device;
    }
    RegCloseKey(key);
    return {};
}

void read_dos_devices(Ports& ports) {
    std::vector<char> names(65536);
    while (QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size())) == 0) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 24)) return;
        names.resize(names.size() * 2);
    }
    for (const char* name = names.data(); *name != '\0'; name += strlen(name) + 1) {
        if (!names_com_port(name) || ports.count(name) != 0) continue;
        char target[1024];
        ports[name] = QueryDosDeviceA(name, target, sizeof target) != 0 ? target : "";
    }
}

// COM2 before COM10; a name of another form goes last.
unsigned long number_of(const std::string& name) {
    unsigned long number = ~0UL;
    if (name.size() > 3) std::from_chars(name.data() + 3, name.data() + name.size(), number);
    return number;
}

}  // namespace

std::vector<SerialPortEntry> list_serial_ports(std::string& error) {
    Ports ports;
    if (error = read_serialcomm(ports); !error.empty()) return {};
    read_dos_devices(ports);
    std::vector<SerialPortEntry> listed;
    for (const auto& [name, device] : ports) listed.push_back({name, device});
    std::sort(listed.begin(), listed.end(),
              [](const auto& a, const auto& b) { return number_of(a.name) < number_of(b.name); });
    return listed;
}

}  // namespace vandry_tools
