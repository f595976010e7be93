// vandry-sim: a simulated Vandry device on a pseudo-terminal. It prints the
// path of the port a host should open, then behaves as the device does:
// waits for the request frame, streams upload-data frames, stops on the
// stop frame.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cli.h"
#include "simulator.h"

namespace {

constexpr const char* kUsage = R"(usage: vandry-sim [options]

Opens a pseudo-terminal, prints the path of its port on the first line of
stdout, and acts as a Vandry device on it.

  --types LIST        payload types to cycle through, e.g. 0,1,2 (default 2)
  --rate HZ           frames per second (default 100)
  --irregular         write in pieces of random size (1..300 bytes)
  --noise             put noise bytes (never 0xFA) between frames
  --seed N            seed for sizes and noise (default 1)
  --count N           stop streaming after N frames (default: no limit)
  --vanish-after N    close the port after N frames, like an unplugged device
  --serve             after a stop frame, wait for the next request
  --log FILE          write the host's records after every frame, as JSON lines
  --link PATH         also make PATH a symbolic link to the port
  --quiet             say nothing on stderr
  --help              this text
)";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "vandry-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool parse_types(std::string_view text, std::vector<std::uint8_t>& types) {
    types.clear();
    while (!text.empty()) {
        const auto comma = text.find(',');
        const auto value = vandry_tools::parse_number(text.substr(0, comma), 0, 255);
        if (!value) return false;
        types.push_back(static_cast<std::uint8_t>(*value));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    }
    return !types.empty();
}

}  // namespace

int main(int argc, char** argv) {
    vandry_sim::SimulatorOptions options;
    std::string link_path;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        auto value = [&] { return std::string_view(argv[++i]); };
        auto number = [&](std::uint64_t max) { return has_value ? vandry_tools::parse_number(value(), 0, max) : std::nullopt; };
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--types") {
            if (!has_value || !parse_types(value(), options.payload_types)) return usage_error("--types takes a list like 0,1,2");
        } else if (arg == "--rate") {
            const auto rate = has_value ? vandry_tools::parse_seconds(value()) : std::nullopt;
            if (!rate || *rate > 100000) return usage_error("--rate takes a number of frames per second");
            options.rate_hz = *rate;
        } else if (arg == "--seed") {
            const auto n = number(UINT32_MAX);
            if (!n) return usage_error("--seed takes a number");
            options.seed = static_cast<std::uint32_t>(*n);
        } else if (arg == "--count" || arg == "--vanish-after") {
            const auto n = number(UINT64_MAX);
            if (!n) return usage_error(std::string(arg) + " takes a number");
            (arg == "--count" ? options.frame_limit : options.vanish_after) = *n;
        } else if (arg == "--log" || arg == "--link") {
            if (!has_value) return usage_error(std::string(arg) + " takes a path");
            (arg == "--log" ? options.log_path : link_path) = std::string(value());
        } else if (arg == "--irregular") {
            options.irregular_writes = true;
        } else if (arg == "--noise") {
            options.noise = true;
        } else if (arg == "--serve") {
            options.serve = true;
        } else if (arg == "--quiet") {
            options.verbose = false;
        } else {
            return usage_error("unknown option " + std::string(arg));
        }
    }

    int master = -1, slave = -1;
    std::string path;
    if (!vandry_sim::open_pty_pair(master, slave, path)) {
        std::fprintf(stderr, "vandry-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (!link_path.empty()) {
        unlink(link_path.c_str());
        if (symlink(path.c_str(), link_path.c_str()) != 0) {
            std::fprintf(stderr, "vandry-sim: cannot link %s: %s\n", link_path.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    const int status = vandry_sim::run_simulator(master, slave, options);
    if (!link_path.empty()) unlink(link_path.c_str());
    return status;
}
