// Fuzz target for VandryStream through its four exports alone. The input is
// a small program of operations on one stream: feeds of chunks of any size,
// resets, inits, and copies of the whole struct, with callbacks of four
// kinds (one that records, none at all, one that rewrites the data being
// fed, one that feeds and resets the stream that calls it, one that records
// and resets it, which the header says has no effect). The stream may
// also start from arbitrary contents, as storage never initialised would.
//
// While the stream's past is known, every call is checked against the
// rules model below, written from the README's stream decisions alone;
// after a misbehaving callback or arbitrary storage only safety is checked
// (no access outside the stream or the data, the pending count in range)
// until the next reset or init, from which the model follows it again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "VandryStream.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

// The stream rules, one decision at a time over the bytes fed since the last
// reset; `at_` is the first byte not yet decided.
class RulesModel {
public:
    struct Frame {
        std::uint8_t type;
        Bytes payload;  // type byte included
    };

    std::vector<Frame> feed(std::span<const std::uint8_t> chunk) {
        bytes_.insert(bytes_.end(), chunk.begin(), chunk.end());
        std::vector<Frame> frames;
        while (decide(frames)) {
        }
        // Keep memory bounded: what lies before at_ is decided for good.
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(at_));
        at_ = 0;
        return frames;
    }
    std::size_t pending() const { return bytes_.size() - at_; }
    void reset() { bytes_.clear(), at_ = 0; }

private:
    // Takes one decision at at_, or returns false when the bytes cannot yet.
    bool decide(std::vector<Frame>& frames) {
        const std::size_t left = bytes_.size() - at_;
        if (left == 0) return false;
        const std::uint8_t* p = bytes_.data() + at_;
        if (p[0] != 0xFA) return skip(1);
        if (left < 4) return false;
        const std::size_t length = p[2] | std::size_t{p[3]} << 8;
        if (length + 5 > 500) return skip(1);  // decision 2: it can never fit
        if (left < length + 5) return false;
        if (p[length + 4] != 0x5F) return skip(1);  // decision 1: a wrong tail
        if (p[1] == 0xE5) return skip(length + 5);  // a request frame, passed over whole
        if (p[1] != 0xA5) return skip(1);           // any other command: its payload is scanned
        if (long_enough(p + 4, length)) frames.push_back({p[4], Bytes(p + 4, p + 4 + length)});
        return skip(length + 5);  // decision 4: a short one is passed over whole too
    }
    static bool long_enough(const std::uint8_t* payload, std::size_t length) {
        if (length == 0) return false;
        switch (payload[0]) {
            case 0: return length >= 31;
            case 1: return length >= 65;
            case 2: return length >= 95;
            default: return true;
        }
    }
    bool skip(std::size_t count) {
        at_ += count;
        return true;
    }

    Bytes bytes_;
    std::size_t at_ = 0;
};

std::uint16_t le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }

// A delivered frame against the payload it came from.
void check_frame(const vandry_frame& got, const RulesModel::Frame& want) {
    check(got.type == want.type);
    const bool channels = want.type == 0 || want.type == 2;
    const bool banks = want.type == 1 || want.type == 2;
    check((got.channels != nullptr) == channels && (got.banks != nullptr) == banks);
    if (channels)
        for (std::size_t k = 0; k < 15; ++k) check(got.channels->channel[k] == le16(want.payload, 1 + 2 * k));
    const std::size_t banks_at = want.type == 1 ? 1 : 31;
    if (banks)
        for (std::size_t row = 0; row < 2; ++row)
            for (std::size_t k = 0; k < 16; ++k)
                check(got.banks->bank[row][k] == le16(want.payload, banks_at + 32 * row + 2 * k));
}

struct Stream {
    vandry_stream state;
    std::uint8_t guard[32];
};

enum class Callback : std::uint8_t { record, none, rewrite, reenter, record_and_reset };

struct CallContext {
    Stream* stream;
    std::uint8_t* data;  // the chunk being fed, writable for the rewriting callback
    std::size_t size;
    std::vector<vandry_frame> seen;
    std::vector<Bytes> copies;  // what the records held during each call
    unsigned calls = 0;
};

// Only what the header promises of any frame.
void check_shape(const vandry_frame* frame) {
    check(frame != nullptr);
    check((frame->channels != nullptr) == (frame->type == 0 || frame->type == 2));
    check((frame->banks != nullptr) == (frame->type == 1 || frame->type == 2));
}

void record_frame(void* user, const vandry_frame* frame) {
    check_shape(frame);
    auto* context = static_cast<CallContext*>(user);
    context->seen.push_back(*frame);
    // The records live only during the call: compare their contents now.
    Bytes copy;
    if (frame->channels) copy.insert(copy.end(), reinterpret_cast<const std::uint8_t*>(frame->channels),
                                     reinterpret_cast<const std::uint8_t*>(frame->channels + 1));
    if (frame->banks) copy.insert(copy.end(), reinterpret_cast<const std::uint8_t*>(frame->banks),
                                  reinterpret_cast<const std::uint8_t*>(frame->banks + 1));
    context->copies.push_back(copy);
}

// A reset or init inside the callback has no effect: the call that ran it
// decides the stream, so the model goes on as if it had not happened.
void record_and_reset(void* user, const vandry_frame* frame) {
    record_frame(user, frame);
    auto* context = static_cast<CallContext*>(user);
    (++context->calls % 2 ? vandry_stream_reset : vandry_stream_init)(&context->stream->state);
}

void rewrite_data(void* user, const vandry_frame* frame) {
    check_shape(frame);
    auto* context = static_cast<CallContext*>(user);
    // Scribbles over the whole chunk, heads and tails included, so that
    // what the scan accepted is no longer what lies there.
    const std::uint8_t pattern[] = {0xFA, 0xA5, 0x00, 0x00, 0x5F, 0x02, 0x01};
    for (std::size_t k = 0; k < context->size; ++k)
        context->data[k] = pattern[(k + context->calls) % sizeof pattern];
    ++context->calls;
}

void reenter(void* user, const vandry_frame* frame) {
    check_shape(frame);
    auto* context = static_cast<CallContext*>(user);
    if (context->calls++ > 4) return;
    vandry_stream_feed(&context->stream->state, context->data, context->size, reenter, user);
    if (context->calls % 2 == 0) vandry_stream_reset(&context->stream->state);
    check(vandry_stream_pending(&context->stream->state) < 500);
}

// Reads the fuzzer's program.
class Program {
public:
    explicit Program(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool done() const { return at_ >= bytes_.size(); }
    std::uint8_t byte() { return done() ? 0 : bytes_[at_++]; }
    std::span<const std::uint8_t> take(std::size_t n) {
        n = n < bytes_.size() - at_ ? n : bytes_.size() - at_;
        const auto out = bytes_.subspan(at_, n);
        at_ += n;
        return out;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

class Runner {
public:
    explicit Runner(Program& program) : program_(program) {
        for (Stream& stream : streams_) {
            std::memset(&stream, 0, sizeof stream);
            std::memset(stream.guard, 0xC3, sizeof stream.guard);
        }
    }

    void start_from_arbitrary_contents() {
        const auto contents = program_.take(sizeof(vandry_stream));
        std::memcpy(&stream_->state, contents.data(), contents.size());
        known_ = false;
    }

    void step() {
        const std::uint8_t op = program_.byte();
        switch (op & 7) {
            case 0: case 1: case 2: {
                std::size_t n = program_.byte();
                if ((op & 7) == 2) n = n << 4 | (op >> 4);  // up to 4 KiB at once
                feed(program_.take(n + 1), callback_of(op >> 3 & 7));
                break;
            }
            case 3: feed_bytewise(program_.take(1 + program_.byte() % 32)); break;
            case 4: vandry_stream_reset(&stream_->state), forget(); break;
            case 5: vandry_stream_init(&stream_->state), forget(); break;
            case 6: copy_stream(); break;
            default: feed(program_.take(program_.byte()), Callback::none); break;
        }
        check(vandry_stream_pending(&stream_->state) < 500);
        if (known_) check(vandry_stream_pending(&stream_->state) == model_.pending());
        for (const Stream& stream : streams_)
            for (std::uint8_t b : stream.guard) check(b == 0xC3);
    }

private:
    static Callback callback_of(unsigned choice) {
        return choice < 4 ? static_cast<Callback>(choice) : Callback::record_and_reset;
    }

    void forget() {
        model_.reset();
        known_ = true;
    }

    void feed(std::span<const std::uint8_t> bytes, Callback kind) {
        // An exact-size copy, so that any read past the chunk is caught.
        Bytes chunk(bytes.begin(), bytes.end());
        CallContext context{stream_, chunk.data(), chunk.size(), {}, {}};
        const vandry_frame_fn functions[] = {record_frame, nullptr, rewrite_data, reenter, record_and_reset};
        const std::size_t count =
            vandry_stream_feed(&stream_->state, chunk.data(), chunk.size(), functions[static_cast<int>(kind)], &context);
        const auto want = model_.feed(bytes);
        if (kind == Callback::rewrite || kind == Callback::reenter) {
            if (count != 0) known_ = false;  // a callback ran: the stream's bytes are no longer the model's
            if (known_) check(count == 0 && want.empty());
            return;
        }
        if (!known_) return;
        check(count == want.size());
        if (kind == Callback::none) return;
        check(context.seen.size() == want.size());
        for (std::size_t k = 0; k < want.size(); ++k) {
            check(context.copies[k].size() == (want[k].type == 0   ? sizeof(channel_values)
                                               : want[k].type == 1 ? sizeof(channel_banks)
                                               : want[k].type == 2 ? sizeof(channel_values) + sizeof(channel_banks)
                                                                   : 0));
            // Rebuild the records from the copy and compare with the payload.
            channel_values channels;
            channel_banks banks;
            vandry_frame frame = context.seen[k];
            std::size_t at = 0;
            if (frame.channels) std::memcpy(&channels, context.copies[k].data(), sizeof channels), at = sizeof channels, frame.channels = &channels;
            if (frame.banks) std::memcpy(&banks, context.copies[k].data() + at, sizeof banks), frame.banks = &banks;
            check_frame(frame, want[k]);
        }
    }

    // A port read one byte at a time, the length of the call that decides.
    void feed_bytewise(std::span<const std::uint8_t> bytes) {
        for (std::size_t k = 0; k < bytes.size(); ++k) feed(bytes.subspan(k, 1), Callback::record);
    }

    // A copy is a stream of its own: it goes on, the original is forgotten.
    // The original is overwritten with a pattern, so that a copy that
    // still depended on it would go wrong.
    void copy_stream() {
        Stream& other = streams_[1 - current_];
        std::memcpy(&other.state, &stream_->state, sizeof other.state);
        std::memset(&stream_->state, 0xA7, sizeof stream_->state);
        current_ = 1 - current_;
        stream_ = &other;
    }

    Program& program_;
    Stream streams_[2];
    int current_ = 0;
    Stream* stream_ = &streams_[0];
    RulesModel model_;
    bool known_ = true;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Program program({data + 1, size - 1});
    Runner runner(program);
    if (data[0] & 1) runner.start_from_arbitrary_contents();
    while (!program.done()) runner.step();
    return 0;
}
