// The ceiling of the parser's benchmark: a parser that knows the stream it is
// fed. Every frame is an upload frame of one payload type, with nothing
// between frames, so it checks only each frame's head and tail and never
// looks for a head. It keeps what a parser called once per read must keep,
// the start of a frame that a read cuts, in the same way as the library (the
// read's last 64 bytes), and decodes only a read's last frame, as the library
// does. No parser that follows the stream rules can beat it on such a stream;
// what it reaches is what any parser could reach per read on this machine.
#pragma once

#include <cstdint>

#include "VandryInterface.h"

// One export per payload type, each with one process-wide instance, called
// the way parse_port_data is called. Each decodes only streams of its type.
#define VANDRY_BENCH_CEILING(type)                                                                      \
    extern "C" __attribute__((visibility("default"))) std::uint8_t ceiling_parse_port_data_##type(     \
        const std::uint8_t* data, std::uint8_t len, channel_values* channels, channel_banks* banks)
VANDRY_BENCH_CEILING(0);
VANDRY_BENCH_CEILING(1);
VANDRY_BENCH_CEILING(2);
