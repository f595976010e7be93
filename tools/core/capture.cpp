#include "capture.h"

#include <algorithm>

#include <cerrno>
#include <cstring>

#include "platform.h"

namespace vandry_tools {
namespace {

constexpr std::size_t kRawChunk = 4096;

void put_le(std::uint8_t* out, std::uint64_t value, std::size_t size) {
    for (std::size_t k = 0; k < size; ++k) out[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

std::uint64_t get_le(const std::uint8_t* in, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t k = size; k-- > 0;) value = value << 8 | in[k];
    return value;
}

}  // namespace

CaptureWriter::~CaptureWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

std::string CaptureWriter::failure(const char* what) {
    return std::string("cannot ") + what + " the capture " + path_ + ": " + std::strerror(errno);
}

std::string CaptureWriter::open(const std::string& path, CaptureKind kind) {
    path_ = path;
    std::string error;
    file_ = create_file(path, "the capture", error);
    if (file_ == nullptr) return error;
    std::uint8_t header[12] = {};
    std::memcpy(header, kCaptureMagic.data(), kCaptureMagic.size());
    header[8] = kCaptureVersion;
    header[9] = static_cast<std::uint8_t>(kind);
    if (std::fwrite(header, 1, sizeof header, file_) != sizeof header || std::fflush(file_) != 0)
        return failure("write");
    return {};
}

std::string CaptureWriter::write(std::uint64_t time_us, std::span<const std::uint8_t> bytes) {
    for (std::size_t count = 0; !bytes.empty(); bytes = bytes.subspan(count)) {
        count = bytes.size() < 65535 ? bytes.size() : 65535;  // a larger read becomes several records
        if (const std::string problem = record(time_us, bytes.first(count)); !problem.empty()) return problem;
    }
    return {};
}

std::string CaptureWriter::write_reopened(std::uint64_t time_us) { return record(time_us, {}); }

std::string CaptureWriter::record(std::uint64_t time_us, std::span<const std::uint8_t> bytes) {
    std::uint8_t head[10];
    put_le(head, time_us, 8);
    put_le(head + 8, bytes.size(), 2);
    if (std::fwrite(head, 1, sizeof head, file_) != sizeof head ||
        (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()))
        return failure("write");
    // Flushed at once: a run that is killed keeps everything read before.
    return std::fflush(file_) == 0 ? std::string() : failure("write");
}

// What one read brings (0 at the end); a failure is kept in failure_.
std::size_t CaptureReader::read_some(std::uint8_t* buffer, std::size_t size) {
    const std::ptrdiff_t n = input_.read_some(buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    failure_ = "cannot read the capture to replay " + path_ + ": " + std::strerror(errno);
    return 0;
}

// As much of `size` bytes as comes before the end.
std::size_t CaptureReader::read_fully(std::uint8_t* buffer, std::size_t size) {
    std::size_t got = 0;
    for (std::size_t n = 1; got < size && n != 0; got += n) n = read_some(buffer + got, size - got);
    return got;
}

std::string CaptureReader::open(const std::string& path, double until, WhileWaiting while_waiting) {
    path_ = path;
    std::string error;
    if (!input_.open(path, "the capture to replay", until, std::move(while_waiting), error)) return error;
    // The magic's name, before its line end: a file that has it is meant as a
    // capture. Reading stops as soon as it cannot be one: a raw writer's
    // first bytes are shown as they come, not once a header's worth has.
    const std::size_t name = kCaptureMagic.size() - 1;
    std::uint8_t header[12] = {};
    std::size_t got = 0;
    while (got < sizeof header && std::memcmp(header, kCaptureMagic.data(), std::min(got, name)) == 0) {
        const std::size_t more = read_some(header + got, 1);
        if (more == 0) break;
        got += more;
    }
    if (!failure_.empty()) return failure_;
    // Replayed raw, a damaged capture would show wrong updates without their
    // timing, and say nothing.
    const std::size_t magic = std::min(got, name);
    const bool begins_like_capture = got != 0 && std::memcmp(header, kCaptureMagic.data(), magic) == 0;
    // A whole file shorter than the magic that is its start is a capture
    // cut short, not port bytes: replaying it raw would show nothing and
    // say nothing.
    if (begins_like_capture && got <= name) return path + " is a capture cut short inside its header";
    if (begins_like_capture && header[name] != kCaptureMagic[name]) {
        if (header[name] == '\r' && got > name + 1 && header[name + 1] == '\n')
            return path + " looks like a capture damaged by a text-mode copy (line ends changed); copy it as binary";
        return path + " starts like a capture, but its header is damaged";
    }
    timed_ = begins_like_capture;
    if (!timed_) {
        raw_start_.assign(header, header + got);
        return {};
    }
    if (got < sizeof header) return path + " is a capture cut short inside its header";
    if (header[8] != kCaptureVersion)
        return path + " is a capture of format version " + std::to_string(header[8]) + "; this program reads version " +
               std::to_string(kCaptureVersion);
    if (header[9] > static_cast<std::uint8_t>(CaptureKind::reports))
        return path + " is a capture of an unknown kind (" + std::to_string(header[9]) + ")";
    kind_ = static_cast<CaptureKind>(header[9]);
    return {};
}

CaptureReader::Next CaptureReader::next(std::vector<std::uint8_t>& bytes, std::uint64_t& time_us,
                                        std::string& message) {
    time_us = 0;
    if (!timed_ && !raw_start_.empty()) {
        bytes.swap(raw_start_);
        raw_start_.clear();
        return Next::chunk;
    }
    if (!timed_) {
        // What one read brings: a writer's bytes are passed on as they come.
        bytes.resize(kRawChunk);
        bytes.resize(read_some(bytes.data(), bytes.size()));
        if (!bytes.empty()) return Next::chunk;
    } else {
        std::uint8_t head[10];
        const std::size_t got = read_fully(head, sizeof head);
        if (got == sizeof head) {
            time_us = get_le(head, 8);
            bytes.resize(get_le(head + 8, 2));
            if (read_fully(bytes.data(), bytes.size()) == bytes.size()) {
                ++records_;
                return bytes.empty() ? Next::reopened : Next::chunk;
            }
        }
        if (failure_.empty() && got != 0)
            message = path_ + " ends inside a record (the recording was cut short); the " + std::to_string(records_) +
                      " complete records before it were replayed";
    }
    if (!failure_.empty()) {
        message = failure_;
        return Next::failed;
    }
    return Next::end;
}

}  // namespace vandry_tools
