// Fuzz target for the capture reader of --replay: the input is a whole file.
// What the reader makes of it (refused, replayed raw, records with their
// times, where it ends) is checked against a plain reading of the format
// as tools/core/capture.h describes it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using vandry_tools::CaptureReader;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

struct Record {
    bool reopened;
    std::uint64_t time_us;
    Bytes bytes;
    bool operator==(const Record&) const = default;
};

// What a reader should make of a file.
struct Reading {
    bool refused = false;
    bool timed = false;
    std::vector<Record> records;  // timed files
    bool cut_inside_record = false;
};

std::uint64_t le(const std::uint8_t* p, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t k = 0; k < size; ++k) value |= std::uint64_t{p[k]} << (8 * k);
    return value;
}

Reading expected(std::span<const std::uint8_t> file) {
    static const std::uint8_t magic[12] = {0x89, 'V', 'A', 'N', 'D', 'R', 'Y', '\n'};
    Reading r;
    // A file that begins as the magic's name does (or is a piece of it) is
    // meant as a capture; anything else, the empty file included, is raw.
    const std::size_t name = file.size() < 7 ? file.size() : 7;
    if (file.empty() || !std::equal(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(name), magic)) return r;
    r.timed = true;
    if (file.size() < 12 || file[7] != '\n' || file[8] != 1 || file[9] > 1) {
        r.refused = true;
        return r;
    }
    for (std::size_t at = 12; at < file.size();) {
        if (file.size() - at < 10 || file.size() - at - 10 < le(&file[at + 8], 2)) {
            r.cut_inside_record = true;
            break;
        }
        const std::size_t n = le(&file[at + 8], 2);
        r.records.push_back({n == 0, le(&file[at], 8), Bytes(&file[at + 10], &file[at + 10] + n)});
        at += 10 + n;
    }
    return r;
}

// The file as a path: an in-memory file, no disk involved.
class MemoryFile {
public:
    explicit MemoryFile(std::span<const std::uint8_t> bytes) : fd_(memfd_create("capture", 0)) {
        check(fd_ >= 0);
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = write(fd_, bytes.data() + at, bytes.size() - at);
            check(n > 0);
            at += static_cast<std::size_t>(n);
        }
    }
    ~MemoryFile() { close(fd_); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> file(data, size);
    const Reading want = expected(file);
    const MemoryFile memory(file);
    CaptureReader reader;
    const std::string error = reader.open(memory.path());
    check(error.empty() != want.refused);
    if (want.refused) {
        check(error.find(memory.path()) == 0);  // the message names the file
        return 0;
    }
    check(reader.timed() == want.timed);
    Bytes raw;
    std::vector<Record> records;
    std::string message;
    for (;;) {
        Bytes bytes;
        std::uint64_t time_us = 99;
        const auto next = reader.next(bytes, time_us, message);
        check(next != CaptureReader::Next::failed);
        if (next == CaptureReader::Next::end) break;
        if (!want.timed) {
            check(next == CaptureReader::Next::chunk && !bytes.empty() && time_us == 0);
            raw.insert(raw.end(), bytes.begin(), bytes.end());
        } else {
            records.push_back({next == CaptureReader::Next::reopened, time_us, bytes});
        }
        check(records.size() + raw.size() <= size);  // no end that never comes
    }
    if (!want.timed) {
        check(raw == Bytes(file.begin(), file.end()));
        check(message.empty());
        return 0;
    }
    check(records == want.records);
    check(message.empty() != want.cut_inside_record);
    return 0;
}
