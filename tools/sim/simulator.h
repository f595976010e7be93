// A simulated Vandry device on the master side of a pseudo-terminal: it
// waits for the host's request frame, streams upload-data frames with
// sweeping values, and stops on the host's stop frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vandry_sim {

struct SimulatorOptions {
    std::vector<std::uint8_t> payload_types{2};  // cycled frame by frame
    double rate_hz = 100;                          // frames per second
    bool irregular_writes = false;                 // write sizes of 1..300 bytes
    bool noise = false;                            // noise bytes between frames (never 0xFA)
    std::uint32_t seed = 1;
    std::uint64_t frame_limit = 0;                 // stop streaming after this many frames; 0: no limit
    std::uint64_t vanish_after = 0;                // close the port after this many frames, like an unplug
    bool serve = false;                            // after a stop frame, wait for the next request
    std::string log_path;                          // JSON line per frame: the records after it
    bool verbose = true;                           // say on stderr what happens
};

// Runs until a stop frame arrives (or, with serve, forever), the port
// vanishes, or a termination signal. master_fd is the master of the pty;
// slave_fd is the simulator's own hold on the slave side, or -1.
// Returns the process exit status.
int run_simulator(int master_fd, int slave_fd, const SimulatorOptions& options);

// Opens a pseudo-terminal pair in raw mode. Returns false, with errno set,
// on failure.
bool open_pty_pair(int& master_fd, int& slave_fd, std::string& slave_path);

}  // namespace vandry_sim
