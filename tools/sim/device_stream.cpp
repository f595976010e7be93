#include "device_stream.h"

#include <algorithm>

#include "VandryInterface.h"
#include "json.h"

namespace vandry_tools {
namespace {

constexpr std::uint8_t kHead = VANDRY_FRAME_HEAD;
constexpr std::uint8_t kTail = VANDRY_FRAME_TAIL;
constexpr std::uint8_t kUpload = VANDRY_CMD_UPLOAD_DATA;
constexpr std::uint8_t kRequest = VANDRY_CMD_REQUEST_UPLOAD;

// A value that sweeps up and down between 0 and top.
std::uint16_t triangle(std::uint64_t phase, unsigned top) {
    const auto p = static_cast<unsigned>(phase % (2 * top));
    return static_cast<std::uint16_t>(p <= top ? p : 2 * top - p);
}

void add_values(std::vector<std::uint8_t>& out, const std::uint16_t* values, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        out.push_back(static_cast<std::uint8_t>(values[k] & 0xFF));
        out.push_back(static_cast<std::uint8_t>(values[k] >> 8));
    }
}

// Payload bytes that a known type needs, type byte included.
std::size_t needed_size(std::uint8_t type) {
    return type == VANDRY_PAYLOAD_CHANNELS ? 31 : type == VANDRY_PAYLOAD_BANKS ? 65 : 95;
}

std::vector<std::uint8_t> payload_of(const SimFrame& frame) {
    std::vector<std::uint8_t> payload{frame.type};
    if (frame.type != VANDRY_PAYLOAD_BANKS) add_values(payload, frame.channels.data(), frame.channels.size());
    if (frame.type != VANDRY_PAYLOAD_CHANNELS) add_values(payload, frame.banks.data(), frame.banks.size());
    return payload;
}

}  // namespace

std::vector<std::uint8_t> port_frame(std::uint8_t command, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame(payload.size() + VANDRY_FRAME_OVERHEAD);
    frame[0] = kHead;
    frame[1] = command;
    frame[2] = static_cast<std::uint8_t>(payload.size() & 0xFF);
    frame[3] = static_cast<std::uint8_t>(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    frame.back() = kTail;
    return frame;
}

DeviceStream::DeviceStream(const SimulatorOptions& options)
    : types_(options.payload_types), noise_(options.noise), hostile_(options.hostile), rng_(options.seed) {}

SimFrame DeviceStream::next_values() {
    const std::uint64_t n = count_++;
    values_.type = types_[n % types_.size()];
    if (values_.type != VANDRY_PAYLOAD_BANKS)
        for (std::size_t k = 0; k < values_.channels.size(); ++k) values_.channels[k] = triangle(n * 8 + k * 80, 1200);
    if (values_.type != VANDRY_PAYLOAD_CHANNELS)
        for (std::size_t k = 0; k < values_.banks.size(); ++k) values_.banks[k] = triangle(n * 5 + k * 131, 2047);
    return values_;
}

std::uint8_t DeviceStream::byte_but_head() {
    const std::uint8_t b = any_byte();
    return b == kHead ? 0x00 : b;
}

std::uint8_t DeviceStream::byte_but(std::uint8_t a, std::uint8_t b) {
    std::uint8_t x = any_byte();
    while (x == a || x == b) x = any_byte();
    return x;
}

void DeviceStream::add_noise(std::vector<std::uint8_t>& out, unsigned most) {
    const unsigned count = static_cast<unsigned>(rng_() % (most + 1));
    for (unsigned k = 0; k < count; ++k) out.push_back(byte_but_head());
}

Piece DeviceStream::next_piece() {
    Piece piece;
    piece.frame = next_values();
    const std::vector<std::uint8_t> good = port_frame(kUpload, payload_of(piece.frame));
    if (noise_) add_noise(piece.bytes, 11);
    if (hostile_ && rng_() % 3 == 0) {
        add_fault(static_cast<Fault>(rng_() % 7), piece.bytes, good);
    } else {
        piece.bytes.insert(piece.bytes.end(), good.begin(), good.end());
    }
    return piece;
}

// Each fault is built so that a host following the stream decisions of the
// README decodes exactly the good frame of the piece, at the piece's last
// byte: every byte a host scans for heads after giving up a frame is chosen
// not to be a head, and a false head's declared length ends inside the good
// frame, before its tail, on a byte that is not a tail.
void DeviceStream::add_fault(Fault fault, std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& good) {
    auto append = [&out](const std::vector<std::uint8_t>& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); };
    const auto type = static_cast<std::uint8_t>(rng_() % 3);
    std::vector<std::uint8_t> payload;
    switch (fault) {
        case Fault::wrong_tail: {  // given up at its last byte; its payload is scanned: no heads in it
            payload.push_back(type);
            while (payload.size() < needed_size(type)) payload.push_back(byte_but_head());
            std::vector<std::uint8_t> frame = port_frame(kUpload, payload);
            frame.back() = byte_but(kTail, kHead);
            append(frame);
            append(good);
            return;
        }
        case Fault::false_head: {  // a head whose length ends inside the good frame, before its tail
            std::size_t length = rng_() % (good.size() - 1);
            while (good[length] == kTail) --length;  // good[0] is a head, never a tail
            append({kHead, kUpload, static_cast<std::uint8_t>(length), 0});
            append(good);
            return;
        }
        case Fault::short_frame: {  // shorter than its type needs: skipped whole, so anything may be inside
            const std::size_t length = rng_() % needed_size(type);
            if (length > 0) payload.push_back(type);
            while (payload.size() < length) payload.push_back(any_byte());
            append(port_frame(kUpload, payload));
            append(good);
            return;
        }
        case Fault::unknown_command:  // ignored, and its payload scanned: no heads in it
        case Fault::inside_unknown: {  // ... so that the upload frame inside it is decoded
            add_noise(payload, 5);
            if (fault == Fault::inside_unknown) payload.insert(payload.end(), good.begin(), good.end());
            add_noise(payload, 5);
            std::uint8_t command = byte_but(kHead, kUpload);
            if (command == kRequest) command = 0x00;
            append(port_frame(command, payload));
            if (fault == Fault::unknown_command) append(good);
            return;
        }
        case Fault::inside_request: {  // passed over whole: the upload frame inside never counts
            SimFrame never{VANDRY_PAYLOAD_BOTH, {}, {}};
            for (std::size_t k = 0; k < never.channels.size(); ++k) never.channels[k] = static_cast<std::uint16_t>(3000 + k);
            for (std::size_t k = 0; k < never.banks.size(); ++k) never.banks[k] = static_cast<std::uint16_t>(3100 + k);
            append(port_frame(kRequest, port_frame(kUpload, payload_of(never))));
            append(good);
            return;
        }
        case Fault::oversized: {  // a length no buffer holds: given up once its header is in
            const std::uint8_t low = byte_but_head();
            std::uint8_t high = static_cast<std::uint8_t>(2 + rng_() % 254);  // 512 and more
            if (high == kHead) high = 0xFF;
            append({kHead, kUpload, low, high});
            append(good);
            return;
        }
    }
}

std::vector<std::uint8_t> DeviceStream::cut_frame() {
    SimFrame frame = values_;
    frame.type = VANDRY_PAYLOAD_BOTH;
    std::vector<std::uint8_t> bytes = port_frame(kUpload, payload_of(frame));
    bytes.resize(6);  // the header, the type byte and one value byte
    return bytes;
}

void HostRecords::apply(const SimFrame& frame) {
    if (frame.type == VANDRY_PAYLOAD_CHANNELS || frame.type == VANDRY_PAYLOAD_BOTH) channels_ = frame.channels;
    if (frame.type == VANDRY_PAYLOAD_BANKS || frame.type == VANDRY_PAYLOAD_BOTH) banks_ = frame.banks;
}

std::string HostRecords::log_line(std::uint64_t frame_number) const {
    return JsonLine().number("frame", frame_number).values("channels", channels_).rows("banks", banks_, 16).finish();
}

}  // namespace vandry_tools
