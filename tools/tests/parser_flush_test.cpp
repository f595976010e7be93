// The reconnect flush for hosts of parse_port_data, through the library's
// public interface only (the README gives it to them): 500 zero bytes fed
// with null record pointers leave nothing pending and the host's records as
// they were, whatever the parser held. The library keeps
// one parser per process, so each case starts from whatever the one before
// left; what is checked holds from any state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "VandryInterface.h"
#include "port_feeder.h"

namespace vandry_tools {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A type-0 upload frame built by hand; its values hold neither a head nor a tail.
Bytes channels_frame(std::uint16_t base) {
    Bytes f{0xFA, 0xA5, 31, 0, 0};
    for (int k = 0; k < 15; ++k) {
        const auto v = static_cast<std::uint16_t>(base + k);
        f.push_back(static_cast<std::uint8_t>(v & 0xFF));
        f.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    f.push_back(0x5F);
    return f;
}

// A frame is at most 500 bytes, so 500 bytes that hold no head decide every
// head the parser keeps; zeros are neither a head (0xFA) nor a tail (0x5F),
// and with null record pointers nothing of the host's records changes, even
// if an old frame completes on the way.
void flush_parser() {
    static const std::uint8_t zeros[250] = {};
    static_assert(2 * sizeof zeros == VANDRY_PORT_BUFFER_SIZE);
    parse_port_data(zeros, sizeof zeros, nullptr, nullptr);
    parse_port_data(zeros, sizeof zeros, nullptr, nullptr);
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Calls that returned 1, feeding one byte per call, by position.
std::vector<std::size_t> completions(const Bytes& bytes, PortRecords& records) {
    std::vector<std::size_t> at;
    for (std::size_t k = 0; k < bytes.size(); ++k)
        if (parse_port_data(&bytes[k], 1, &records.channels, &records.banks) == 1) at.push_back(k);
    return at;
}

void feed(const Bytes& bytes, PortRecords& records) {
    for (std::size_t start = 0; start < bytes.size(); start += 255) {
        const auto n = static_cast<std::uint8_t>(std::min<std::size_t>(255, bytes.size() - start));
        parse_port_data(bytes.data() + start, n, &records.channels, &records.banks);
    }
}

struct Leftover {
    const char* name;
    Bytes bytes;
};

// What a session can leave in the parser when the port vanishes.
std::vector<Leftover> leftovers() {
    const Bytes frame = channels_frame(0x0101);
    Bytes half(frame.begin(), frame.begin() + 20);
    Bytes plausible{0xFA, 0xA5, 0xEF, 0x01};  // declares 495 bytes, the most that fits
    plausible.resize(300, 0x11);
    // An unknown command whose payload holds a whole upload frame: that
    // frame completes during the flush, into the null records.
    Bytes outer = joined({{0xFA, 0x77, 0xC8, 0x00}, channels_frame(0x0202)});
    return {
        {"a head", {0xFA}},
        {"a head and command", {0xFA, 0xA5}},
        {"three header bytes", {0xFA, 0xA5, 31}},
        {"half a frame", half},
        {"a head declaring 495 bytes", plausible},
        {"a frame waiting inside an unfinished one", outer},
        {"a length beyond the buffer", {0xFA, 0xA5, 0xFF, 0xFF, 0x01}},
        {"nothing", {}},
    };
}

TEST(ReconnectFlush, LeavesNothingPendingAndTheRecordsUntouched) {
    const Bytes probe = channels_frame(0x0303);
    for (const Leftover& left : leftovers()) {
        // Probe 0 is a whole frame: decoded at its last byte and nowhere else.
        // Probes 1 to 3 lack its first bytes: a parser holding the start of a
        // frame would complete it with them; an empty one finds no head.
        for (std::size_t skip = 0; skip <= 3; ++skip) {
            PortRecords records;
            feed(left.bytes, records);
            std::fill_n(&records.channels.channel[0], 15, 0xA7A7);
            std::fill_n(&records.banks.bank[0][0], 32, 0xA7A7);
            const PortRecords before = records;
            flush_parser();
            EXPECT_EQ(std::memcmp(&records.channels, &before.channels, sizeof records.channels), 0) << left.name;
            EXPECT_EQ(std::memcmp(&records.banks, &before.banks, sizeof records.banks), 0) << left.name;
            const Bytes tail(probe.begin() + static_cast<long>(skip), probe.end());
            const auto at = completions(tail, records);
            if (skip == 0) {
                EXPECT_EQ(at, std::vector<std::size_t>{probe.size() - 1}) << left.name;
                EXPECT_EQ(records.channels.channel[14], 0x0303 + 14) << left.name;
            } else {
                EXPECT_TRUE(at.empty()) << left.name << ", probe without " << skip << " bytes";
            }
        }
    }
}

// Without the flush, leftovers do join the next session's bytes: the check
// above would catch a flush that did nothing.
TEST(ReconnectFlush, WithoutItTheOldBytesJoinTheNewOnes) {
    const Bytes probe = channels_frame(0x0303);
    Bytes plausible{0xFA, 0xA5, 0xEF, 0x01};
    plausible.resize(300, 0x11);
    const std::pair<Bytes, std::size_t> cases[] = {
        {{0xFA}, 1},      // a head, then a frame without its head: decoded, from two sessions' bytes
        {plausible, 0},   // a long declared length swallows the whole next frame
    };
    for (const auto& [left, skip] : cases) {
        PortRecords records;
        flush_parser();  // a known start
        feed(left, records);
        const Bytes tail(probe.begin() + static_cast<long>(skip), probe.end());
        const auto clean = skip == 0 ? std::vector<std::size_t>{tail.size() - 1} : std::vector<std::size_t>{};
        EXPECT_NE(completions(tail, records), clean) << left.size() << " bytes left";
    }
}

}  // namespace
}  // namespace vandry_tools
