// The capture format: the exact bytes on disk, reading back, raw files,
// cut files, and a capture never overwriting a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture.h"
#include "scratch_dir.h"

namespace vandry_tools {
namespace {

using Bytes = std::vector<std::uint8_t>;

class CaptureTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) { return scratch_.path(name); }
    static Bytes contents(const std::string& file) { return ScratchDir::contents(file); }
    static void put(const std::string& file, const Bytes& bytes) {
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    }

    struct Record {
        std::uint64_t time_us;
        Bytes bytes;
        bool operator==(const Record&) const = default;
    };
    static std::vector<Record> read_all(const std::string& file, std::string& message, CaptureReader::Next& last) {
        CaptureReader reader;
        EXPECT_EQ(reader.open(file), "");
        std::vector<Record> records;
        Record r;
        while ((last = reader.next(r.bytes, r.time_us, message)) == CaptureReader::Next::chunk ||
               last == CaptureReader::Next::reopened)
            records.push_back(r);
        return records;
    }

    ScratchDir scratch_;
};

TEST_F(CaptureTest, WritesTheDocumentedBytes) {
    const std::string file = path("two.cap");
    CaptureWriter writer;
    ASSERT_EQ(writer.open(file, CaptureKind::reports), "");
    ASSERT_EQ(writer.write(0x0102030405, Bytes{0xFA, 0x5F}), "");
    ASSERT_EQ(writer.write(1000000, Bytes{0x00}), "");
    const Bytes expected = {0x89, 'V', 'A', 'N', 'D', 'R', 'Y', '\n', 1, 1, 0, 0,     // header: version 1, reports
                            0x05, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 2, 0, 0xFA, 0x5F,  // t, count, bytes
                            0x40, 0x42, 0x0F, 0, 0, 0, 0, 0, 1, 0, 0x00};
    EXPECT_EQ(contents(file), expected);
}

TEST_F(CaptureTest, ReadsBackEveryRecordInOrder) {
    const std::string file = path("many.cap");
    std::vector<Record> written;
    for (std::uint64_t k = 0; k < 50; ++k) written.push_back({k * 1234, Bytes(1 + k * 5, static_cast<std::uint8_t>(k))});
    {
        CaptureWriter writer;
        ASSERT_EQ(writer.open(file, CaptureKind::port), "");
        for (const Record& r : written) ASSERT_EQ(writer.write(r.time_us, r.bytes), "");
        ASSERT_EQ(writer.write_reopened(98), "");           // a record without bytes
        ASSERT_EQ(writer.write(99, Bytes(70000, 7)), "");  // longer than a record holds: two records
    }
    written.push_back({98, {}});
    written.push_back({99, Bytes(65535, 7)});
    written.push_back({99, Bytes(70000 - 65535, 7)});
    std::string message;
    CaptureReader::Next last{};
    EXPECT_EQ(read_all(file, message, last), written);
    EXPECT_EQ(last, CaptureReader::Next::end);
    EXPECT_EQ(message, "");
}

TEST_F(CaptureTest, AFileWithoutTheHeaderIsRawPortBytes) {
    const std::string file = path("raw.bin");
    Bytes raw(5000);
    for (std::size_t k = 0; k < raw.size(); ++k) raw[k] = static_cast<std::uint8_t>(k * 7);
    put(file, raw);
    CaptureReader reader;
    ASSERT_EQ(reader.open(file), "");
    EXPECT_FALSE(reader.timed());
    EXPECT_EQ(reader.kind(), CaptureKind::port);
    Bytes joined, chunk;
    std::uint64_t t = 1;
    std::string message;
    while (reader.next(chunk, t, message) == CaptureReader::Next::chunk) joined.insert(joined.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(joined, raw);
}

TEST_F(CaptureTest, ACutFileGivesItsWholeRecordsAndSaysWhereItEnds) {
    const std::string whole = path("whole.cap");
    {
        CaptureWriter writer;
        ASSERT_EQ(writer.open(whole, CaptureKind::port), "");
        for (std::uint8_t k = 1; k <= 3; ++k) ASSERT_EQ(writer.write(k, Bytes(10, k)), "");
    }
    const Bytes bytes = contents(whole);
    // Cut inside the third record's bytes, and inside its time field.
    for (std::size_t cut : {bytes.size() - 1, bytes.size() - 15}) {
        const std::string file = path("cut" + std::to_string(cut));
        put(file, Bytes(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
        std::string message;
        CaptureReader::Next last{};
        EXPECT_EQ(read_all(file, message, last).size(), 2u);
        EXPECT_EQ(last, CaptureReader::Next::end);
        EXPECT_NE(message.find("ends inside a record"), std::string::npos) << message;
    }
}

TEST_F(CaptureTest, RefusesToOverwriteAndToReadAnotherVersion) {
    const std::string file = path("kept.cap");
    put(file, Bytes{1, 2, 3});
    CaptureWriter writer;
    EXPECT_NE(writer.open(file, CaptureKind::port).find("cannot create the capture " + file + ": File exists"), std::string::npos);
    EXPECT_EQ(contents(file), (Bytes{1, 2, 3}));

    const std::string future = path("future.cap");
    put(future, Bytes{0x89, 'V', 'A', 'N', 'D', 'R', 'Y', '\n', 2, 0, 0, 0});
    CaptureReader reader;
    EXPECT_NE(reader.open(future).find("format version 2"), std::string::npos);
    EXPECT_NE(CaptureReader().open(path("missing.cap")).find("No such file or directory"), std::string::npos);
}

}  // namespace
}  // namespace vandry_tools
