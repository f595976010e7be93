// What the simulated device sends: upload-data frames with sweeping values,
// optional noise between them and, in hostile mode, the faults a host must
// survive. It is cut into pieces, each ending with the last byte of one
// good frame, so that a correct host holds nothing pending between pieces
// and decodes exactly one frame per piece, at its last byte.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "simulator_options.h"

namespace vandry_tools {

// The values of one upload-data frame.
struct SimFrame {
    std::uint8_t type = 0;
    std::array<std::uint16_t, 15> channels{};
    std::array<std::uint16_t, 32> banks{};  // bank 0, then bank 1
};

struct Piece {
    std::vector<std::uint8_t> bytes;
    SimFrame frame;  // decoded by a correct host when the last byte arrives
};

class DeviceStream {
public:
    explicit DeviceStream(const SimulatorOptions& options);

    Piece next_piece();

    // The start of a long frame that never ends, as an unplugged device
    // leaves it on the line.
    std::vector<std::uint8_t> cut_frame();

private:
    enum class Fault { wrong_tail, false_head, short_frame, unknown_command, inside_unknown, inside_request, oversized };

    SimFrame next_values();
    void add_noise(std::vector<std::uint8_t>& out, unsigned most);
    void add_fault(Fault fault, std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& good);
    std::uint8_t any_byte() { return static_cast<std::uint8_t>(rng_() & 0xFF); }
    std::uint8_t byte_but_head();
    std::uint8_t byte_but(std::uint8_t a, std::uint8_t b);

    std::vector<std::uint8_t> types_;
    bool noise_;
    bool hostile_;
    std::mt19937 rng_;
    std::uint64_t count_ = 0;
    SimFrame values_{};
};

// The records a host holds after the frames it has decoded, and the log
// line that says so.
class HostRecords {
public:
    void apply(const SimFrame& frame);
    std::string log_line(std::uint64_t frame_number) const;

private:
    std::array<std::uint16_t, 15> channels_{};
    std::array<std::uint16_t, 32> banks_{};
};

// The bytes of one port frame: head, command, length, payload, tail.
std::vector<std::uint8_t> port_frame(std::uint8_t command, const std::vector<std::uint8_t>& payload);

}  // namespace vandry_tools
