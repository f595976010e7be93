#include "ceiling_parser.h"

#include <cstddef>

#include "byte_ops.h"  // the library's own copies, so that both sides copy alike

namespace {

using vandry::copy_fixed;
void copy_any(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) { vandry::copy_bytes(dst, src, n); }

// Where a payload type's values lie in its frame.
struct Layout {
    std::size_t frame_size;
    std::size_t channels_at;  // 0: none
    std::size_t banks_at;     // 0: none
};
constexpr Layout kLayouts[] = {{36, 5, 0}, {70, 0, 5}, {100, 5, 35}};

// One record of N bytes at `at` in a frame whose first `held` bytes are held
// and whose rest starts the read.
template <std::size_t N>
void decode_split(std::uint8_t* record, std::size_t at, const std::uint8_t* frame, std::size_t held,
                  const std::uint8_t* rest) {
    if (held <= at) {
        copy_fixed<N>(record, rest + (at - held));
        return;
    }
    copy_fixed<N>(record, frame + at);  // the buffer has room for the whole frame
    if (at + N > held) copy_any(record + (held - at), rest, at + N - held);
}

template <int Type>
class Ceiling {
public:
    std::uint8_t feed(const std::uint8_t* data, std::size_t len, channel_values* channels, channel_banks* banks) {
        constexpr Layout layout = kLayouts[Type];
        constexpr std::size_t size = layout.frame_size;
        if (held_ != 0 && held_ + len < size) {
            copy_any(buffer_ + start_ + held_, data, len);
            held_ += len;
            return 0;
        }
        const std::size_t take = held_ != 0 ? size - held_ : 0;
        const bool split_in = held_ != 0 && data[take - 1] == VANDRY_FRAME_TAIL;
        const std::uint8_t* last = nullptr;
        std::size_t p = take;
        while (p + size <= len && data[p] == VANDRY_FRAME_HEAD && data[p + size - 1] == VANDRY_FRAME_TAIL) {
            last = data + p;
            p += size;
        }
        auto* channel_bytes = reinterpret_cast<std::uint8_t*>(channels);
        auto* bank_bytes = reinterpret_cast<std::uint8_t*>(banks);
        if (last != nullptr) {
            if (layout.channels_at != 0) copy_fixed<sizeof(channel_values)>(channel_bytes, last + layout.channels_at);
            if (layout.banks_at != 0) copy_fixed<sizeof(channel_banks)>(bank_bytes, last + layout.banks_at);
        } else if (split_in) {
            const std::uint8_t* frame = buffer_ + start_;
            if (layout.channels_at != 0)
                decode_split<sizeof(channel_values)>(channel_bytes, layout.channels_at, frame, held_, data);
            if (layout.banks_at != 0) decode_split<sizeof(channel_banks)>(bank_bytes, layout.banks_at, frame, held_, data);
        }
        keep(data, len, p);
        return last != nullptr || split_in;
    }

private:
    void keep(const std::uint8_t* data, std::size_t len, std::size_t from) {
        held_ = len - from;
        if (len >= 64 && held_ <= 64) {
            copy_fixed<64>(buffer_, data + len - 64);
            start_ = 64 - held_;
        } else {
            copy_any(buffer_, data + from, held_);
            start_ = 0;
        }
    }

    std::uint8_t buffer_[VANDRY_PORT_BUFFER_SIZE + 64];
    std::size_t start_ = 0;
    std::size_t held_ = 0;
};

Ceiling<0> ceiling_0;
Ceiling<1> ceiling_1;
Ceiling<2> ceiling_2;

}  // namespace

VANDRY_BENCH_CEILING(0) { return ceiling_0.feed(data, len, channels, banks); }
VANDRY_BENCH_CEILING(1) { return ceiling_1.feed(data, len, channels, banks); }
VANDRY_BENCH_CEILING(2) { return ceiling_2.feed(data, len, channels, banks); }
