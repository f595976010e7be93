// The live view on a console that takes no virtual-terminal sequences: the
// view's text, turned into console calls.
#include <gtest/gtest.h>

#include <string>

#include "console_text.h"

namespace vandry_tools {
namespace {

// Writes down each call as a word, text between brackets.
class Recorder final : public ConsoleSink {
public:
    bool text(std::string_view t) override {
        std::string call(1, '[');
        call.append(t).push_back(']');
        return note(call);
    }
    bool home() override { return note("home"); }
    bool clear_screen() override { return note("clear"); }
    bool erase_to_line_end() override { return note("eol"); }
    bool erase_to_end() override { return note("eos"); }
    bool dim(bool on) override { return note(on ? "dim" : "normal"); }

    std::string calls;
    int fail_at = -1;  // the call that fails, counting from 0

private:
    bool note(const std::string& call) {
        if (count_++ == fail_at) return false;
        if (!calls.empty()) calls.push_back(' ');
        calls.append(call);
        return true;
    }
    int count_ = 0;
};

TEST(ConsoleText, TheViewsSequencesBecomeConsoleCalls) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text\r\n", "[plain text\r\n]"},
        {"\x1b[2J\x1b[Htitle\x1b[K\r\n\x1b[J", "clear home [title] eol [\r\n] eos"},
        {"\x1b[H\x1b[2mch  1 [###]\x1b[22m\x1b[K\r\n", "home dim [ch  1 [###]] normal eol [\r\n]"},
        {"a\x1b[0mb\x1b[mc\x1b[0Kd\x1b[0J", "[a] normal [b] normal [c] eol [d] eos"},
        {"\x1b[1;1Hx", "home [x]"},
        // Sequences the view never writes are dropped, never shown.
        {"a\x1b[5;3Hb\x1b[31mc\x1b[?25ld\x1b[1Ke", "[a] [b] [c] [d] [e]"},
        {"a\x1b" "b", "[a] [b]"},   // a lone escape
        {"a\x1b[12", "[a]"},     // cut short
        {"\x1b", ""},
        {"", ""},
    };
    for (const auto& [text, calls] : cases) {
        Recorder recorder;
        EXPECT_TRUE(play_on_console(text, recorder));
        EXPECT_EQ(recorder.calls, calls);
    }
}

TEST(ConsoleText, AFailingConsoleStopsThePlay) {
    const char* const done_before[] = {"", "[x]", "[x] eol"};
    for (int fail_at = 0; fail_at < 3; ++fail_at) {
        Recorder recorder;
        recorder.fail_at = fail_at;
        EXPECT_FALSE(play_on_console("x\x1b[Ky\x1b[J", recorder)) << fail_at;
        EXPECT_EQ(recorder.calls, done_before[fail_at]);
    }
}

}  // namespace
}  // namespace vandry_tools
