// The capture format of --record and --replay. It keeps the bytes read from
// the device together with when each read arrived, so that a replay shows
// every update at the recorded pace:
//
//   header   8 bytes  89 56 41 4E 44 52 59 0A  ("\x89VANDRY\n": binary, and
//                     a text-mode copy that turned the 0A into 0D 0A is
//                     refused as such, not replayed as raw bytes)
//            1 byte   format version, 1
//            1 byte   what was recorded: 0 port bytes, 1 HID reports
//            2 bytes  zero (reserved)
//   records  8 bytes  arrival time in microseconds since the start of the run
//                     (little-endian), not decreasing
//            2 bytes  count of bytes that follow (little-endian), 0..65535
//            N bytes  what one read returned: port bytes, or one HID report;
//                     none: the port was opened again after it vanished, and
//                     what the parser held from before was dropped there
//
// A file that does not begin with "\x89VANDRY" is replayed as raw port
// bytes, without timing; one that does but has no valid header is refused.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "platform.h"

namespace vandry_tools {

enum class CaptureKind : std::uint8_t { port = 0, reports = 1 };

inline constexpr std::array<std::uint8_t, 8> kCaptureMagic{0x89, 'V', 'A', 'N', 'D', 'R', 'Y', '\n'};
inline constexpr std::uint8_t kCaptureVersion = 1;

class CaptureWriter {
public:
    CaptureWriter() = default;
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;
    ~CaptureWriter();

    // An existing file is refused. Each returns an empty string or the reason.
    std::string open(const std::string& path, CaptureKind kind);
    std::string write(std::uint64_t time_us, std::span<const std::uint8_t> bytes);
    std::string write_reopened(std::uint64_t time_us);
    bool is_open() const { return file_ != nullptr; }

private:
    std::string failure(const char* what);
    std::string record(std::uint64_t time_us, std::span<const std::uint8_t> bytes);

    std::FILE* file_ = nullptr;
    std::string path_;
};

class CaptureReader {
public:
    CaptureReader() = default;
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Empty, or the reason. A FIFO is waited for until its writer comes, a
    // stop request, or `until` (0: no limit); is_open() then says which.
    // `while_waiting` keeps the run going whenever a read waits for the
    // FIFO's writer (see InputFile).
    std::string open(const std::string& path, double until = 0, WhileWaiting while_waiting = {});
    bool is_open() const { return input_.is_open(); }
    bool timed() const { return timed_; }  // false: raw bytes
    CaptureKind kind() const { return kind_; }

    enum class Next { chunk, reopened, end, failed };
    // The next record; raw bytes come as they arrive. At the end of a file cut inside a record, `message`
    // says so and the result is `end`; `failed` leaves the reason there.
    Next next(std::vector<std::uint8_t>& bytes, std::uint64_t& time_us, std::string& message);

private:
    std::size_t read_some(std::uint8_t* buffer, std::size_t size);
    std::size_t read_fully(std::uint8_t* buffer, std::size_t size);

    InputFile input_;
    std::string path_;
    std::string failure_;  // why a read failed
    bool timed_ = false;
    CaptureKind kind_ = CaptureKind::port;
    std::uint64_t records_ = 0;
    std::vector<std::uint8_t> raw_start_;  // raw bytes read to look for the header: a FIFO cannot go back
};

}  // namespace vandry_tools
