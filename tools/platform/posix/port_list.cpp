#include "port_list.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

namespace vandry_tools {
namespace {

namespace fs = std::filesystem;

// USB serial adapters (ttyUSB) and USB modems (ttyACM), which is how the
// device appears. The board's own ttyS ports are left out: there are dozens
// of them, mostly with nothing behind.
bool is_usb_serial(const std::string& name) {
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        const std::string p(prefix);
        if (name.size() > p.size() && name.compare(0, p.size(), p) == 0 &&
            std::all_of(name.begin() + static_cast<std::ptrdiff_t>(p.size()), name.end(),
                        [](char c) { return c >= '0' && c <= '9'; }))
            return true;
    }
    return false;
}

// ttyACM0, ttyUSB2, ttyUSB10: by kind, then by number.
bool number_order(const std::string& a, const std::string& b) {
    const auto digits = [](const std::string& s) { return s.find_first_of("0123456789"); };
    const std::string kind_a = a.substr(0, digits(a)), kind_b = b.substr(0, digits(b));
    if (kind_a != kind_b) return kind_a < kind_b;
    return std::stoul(a.substr(digits(a))) < std::stoul(b.substr(digits(b)));
}

std::string problem(const fs::path& folder, const std::error_code& code) {
    return "cannot list " + folder.string() + ": " + code.message();
}

}  // namespace

std::vector<SerialPortEntry> list_serial_ports_under(const std::string& root, std::string& error) {
    std::vector<SerialPortEntry> ports;
    std::set<std::string> named;
    std::error_code code;
    const fs::path by_id = fs::path(root + "/dev/serial/by-id");
    for (fs::directory_iterator it(by_id, code), end; !code && it != end; it.increment(code)) {
        const fs::path device = fs::canonical(it->path(), code);
        ports.push_back({it->path().string(), code ? std::string() : device.string()});
        if (!code) named.insert(device.string());
        code.clear();
    }
    if (code && code != std::errc::no_such_file_or_directory) {
        error = problem(by_id, code);
        return {};
    }
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    const fs::path dev = fs::path(root + "/dev");
    std::vector<std::string> others;
    code.clear();
    for (fs::directory_iterator it(dev, code), end; !code && it != end; it.increment(code)) {
        const std::string name = it->path().filename().string();
        if (is_usb_serial(name) && named.count(it->path().string()) == 0) others.push_back(name);
    }
    if (code) {
        error = problem(dev, code);
        return {};
    }
    std::sort(others.begin(), others.end(), number_order);
    for (const auto& name : others) ports.push_back({(dev / name).string(), {}});
    return ports;
}

std::vector<SerialPortEntry> list_serial_ports(std::string& error) { return list_serial_ports_under("", error); }

}  // namespace vandry_tools
