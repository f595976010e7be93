// stdout's backlog: every byte reaches stdout once, in order, whatever the
// reader takes each time; a reader too far behind fails the run at the
// limit; a reader that went away or failed ends the writing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "stdout_backlog.h"

namespace vandry_tools {
namespace {

// A reader that takes, at each offer, at most what `room` says next (and
// everything once the list is used up), or fails with `status`.
class FakeStdout final : public StdoutSink {
public:
    std::vector<std::size_t> room;
    std::size_t next = 0;
    WriteStatus status = WriteStatus::ok;
    int unsent_waits = 0;  // waits until what was taken has gone out
    std::string got;
    int offers = 0;

    WriteStatus offer(std::string_view text, std::size_t& taken, std::string& error) override {
        ++offers;
        taken = 0;
        if (status == WriteStatus::failed) error = "cannot write to stdout: the fake's failure";
        if (status != WriteStatus::ok) return status;
        taken = std::min(text.size(), next < room.size() ? room[next++] : text.size());
        got.append(text.substr(0, taken));
        return WriteStatus::ok;
    }
    void wait(double) override { unsent_waits = std::max(0, unsent_waits - 1); }
    bool flushed() override { return unsent_waits == 0; }
};

std::string line(int k) { return "{\"update\":" + std::to_string(k) + ",\"channels\":[1,2,3]}\n"; }

TEST(StdoutBacklog, EveryByteGoesOutOnceInOrderWhateverTheReaderTakes) {
    const std::vector<std::vector<std::size_t>> rooms = {
        {},                                // takes everything at once
        {0, 0, 0, 0, 0, 0, 0, 0},          // stalled, then everything
        {1, 0, 7, 0, 4096, 3, 0, 0, 1},    // in odd pieces
        std::vector<std::size_t>(500, 5),  // a trickle, slower than the writes
    };
    for (const auto& room : rooms) {
        FakeStdout reader;
        reader.room = room;
        StdoutBacklog backlog(std::size_t{1} << 20, reader);
        std::string written;
        for (int k = 1; k <= 200; ++k) {
            written += line(k);
            ASSERT_TRUE(backlog.write(line(k)));
            ASSERT_EQ(reader.got.size() + backlog.pending(), written.size());
        }
        EXPECT_TRUE(backlog.drain(2.0));
        EXPECT_TRUE(backlog.empty());
        EXPECT_EQ(reader.got, written) << "room list of " << room.size();
    }
}

TEST(StdoutBacklog, AReaderBeyondTheLimitFailsTheWritingAndTheRun) {
    FakeStdout reader;
    reader.room = std::vector<std::size_t>(100, 0);  // takes nothing
    const std::string piece(600 << 10, 'x');
    StdoutBacklog backlog(std::size_t{1} << 20, reader);
    EXPECT_TRUE(backlog.write(piece));
    EXPECT_FALSE(backlog.write(piece));
    EXPECT_EQ(backlog.status(), WriteStatus::failed);
    EXPECT_EQ(backlog.error(), "cannot write to stdout: its reader fell more than 1 MiB behind (the most kept for it); "
                               "the run stops, and the lines it has not taken are lost");
    const int offers = reader.offers;
    EXPECT_FALSE(backlog.write("more"));
    EXPECT_FALSE(backlog.hand_over());
    EXPECT_FALSE(backlog.drain(2.0));
    EXPECT_EQ(reader.offers, offers) << "nothing more goes to a failed stdout";
}

TEST(StdoutBacklog, AClosedOrFailedStdoutEndsTheWriting) {
    for (const WriteStatus status : {WriteStatus::closed, WriteStatus::failed}) {
        FakeStdout reader;
        reader.room = {3};
        StdoutBacklog backlog(std::size_t{1} << 20, reader);
        EXPECT_TRUE(backlog.write(line(1)));
        reader.status = status;
        EXPECT_FALSE(backlog.write(line(2)));
        EXPECT_EQ(backlog.status(), status);
        EXPECT_EQ(backlog.error(), status == WriteStatus::failed ? "cannot write to stdout: the fake's failure" : "");
        EXPECT_FALSE(backlog.drain(2.0));
        EXPECT_EQ(reader.got, line(1).substr(0, 3));
    }
}

// A writer thread takes a piece and finds only afterwards that the reader is gone.
TEST(StdoutBacklog, AFailureAfterEverythingWasTakenIsStillSeen) {
    FakeStdout reader;
    StdoutBacklog backlog(std::size_t{1} << 20, reader);
    ASSERT_TRUE(backlog.write(line(1)));
    ASSERT_TRUE(backlog.empty());
    reader.status = WriteStatus::closed;
    EXPECT_FALSE(backlog.hand_over());
    EXPECT_EQ(backlog.status(), WriteStatus::closed);
}

TEST(StdoutBacklog, DrainWaitsUntilWhatStdoutTookHasGoneOut) {
    FakeStdout reader;
    StdoutBacklog backlog(std::size_t{1} << 20, reader);
    ASSERT_TRUE(backlog.write(line(1)));
    reader.unsent_waits = 3;  // a writer thread still busy with it
    EXPECT_TRUE(backlog.drain(2.0));
    EXPECT_TRUE(reader.flushed());
    EXPECT_EQ(reader.got, line(1));
}

TEST(WholeLinesPiece, EndsAtALineEndWhenOneLiesWithinReach) {
    const struct {
        const char* text;
        std::size_t most;
        std::size_t piece;
    } cases[] = {
        {"ab\ncd\n", 10, 6},    // all of it fits
        {"ab\ncd\nef\n", 7, 6},  // cut back to the last line end within reach
        {"ab\ncd\n", 6, 6},     // exactly at a line end
        {"abcdef\n", 4, 4},     // a line longer than the piece: no line end to keep
        {"ab\ncdef", 5, 3},
        {"", 4, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(whole_lines_piece(c.text, c.most), c.piece) << c.text << " / " << c.most;
}

}  // namespace
}  // namespace vandry_tools
