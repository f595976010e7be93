// The live view's layout: it fits any terminal, says what state the data is
// in, and marks values outside the scale.
#include <gtest/gtest.h>

#include <string>

#include "view.h"

namespace vandry_tools {
namespace {

Screen port_screen() {
    Screen s;
    s.source = "/dev/ttyUSB0";
    s.updates = 1;
    s.age = 0.01;
    s.kind = Screen::Kind::port;
    for (int k = 0; k < 15; ++k) s.port.channels.channel[k] = static_cast<std::uint16_t>(k * 80);
    for (int k = 0; k < 16; ++k) s.port.banks.bank[1][k] = static_cast<std::uint16_t>(60000 + k);
    return s;
}

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TEST(View, EveryLayoutFitsItsTerminal) {
    const TerminalSize sizes[] = {{80, 24}, {200, 60}, {40, 12}, {24, 30}, {20, 5}, {8, 3}, {1, 1}};
    Screen game;
    game.kind = Screen::Kind::game_controller;
    Screen compatible = port_screen();
    compatible.kind = Screen::Kind::compatible;
    for (const Screen& screen : {Screen{}, port_screen(), game, compatible}) {
        for (const TerminalSize size : sizes) {
            const auto lines = screen_lines(screen, size);
            EXPECT_LT(lines.size(), static_cast<std::size_t>(std::max(2, size.rows)));
            for (const auto& line : lines) EXPECT_LT(line.size(), static_cast<std::size_t>(std::max(2, size.columns)));
        }
    }
}

TEST(View, AWideTallTerminalShowsEveryValueAndAShortOneSaysWhatIsHidden) {
    const auto all = screen_lines(port_screen(), {200, 60});
    for (int k = 0; k < 16; ++k) EXPECT_TRUE(contains(all, std::to_string(60000 + k))) << k;
    EXPECT_TRUE(contains(all, "ch 15"));
    const auto narrow = screen_lines(port_screen(), {40, 60});  // banks wrap instead of being cut
    for (int k = 0; k < 16; ++k) EXPECT_TRUE(contains(narrow, std::to_string(60000 + k))) << k;
    // 15 channel rows, a blank, 2 rows of 8 per bank: 20 lines; 11 rows hold 3 of heading, 7 and the note.
    const auto short_one = screen_lines(port_screen(), {80, 12});
    EXPECT_TRUE(contains(short_one, "... 13 more lines"));
}

TEST(View, BarsShortenOnNarrowTerminalsAndMarkValuesOutsideTheScale) {
    Screen s = port_screen();
    s.range_low = 100;
    s.range_high = 1000;
    s.port.channels.channel[0] = 50;    // below
    s.port.channels.channel[1] = 1001;  // above
    s.port.channels.channel[2] = 550;   // the middle
    const auto wide = screen_lines(s, {80, 40});
    EXPECT_NE(wide[3].find("[<"), std::string::npos) << wide[3];
    EXPECT_NE(wide[4].find(">]"), std::string::npos) << wide[4];
    const std::size_t open = wide[5].find('['), close = wide[5].find(']');
    const std::string middle = wide[5].substr(open + 1, close - open - 1);
    EXPECT_EQ(std::count(middle.begin(), middle.end(), '#'), static_cast<long>(middle.size() / 2));
    EXPECT_NE(wide[5].find("  550"), std::string::npos);
    const auto narrow = screen_lines(s, {30, 40});
    EXPECT_NE(narrow[5].find("550"), std::string::npos) << "the value stays when the bar shrinks";
}

TEST(View, SaysWhetherItWaitsReceivesOrHoldsStaleData) {
    Screen s;
    EXPECT_EQ(screen_lines(s, {80, 24})[1], "waiting for the device");
    s = port_screen();
    EXPECT_EQ(screen_lines(s, {80, 24})[1].rfind("receiving", 0), 0u);
    s.stale = true;
    s.age = 2.34;
    EXPECT_EQ(screen_lines(s, {80, 24})[1].rfind("stale: no data for 2.3 s", 0), 0u);
    s.updates = 1;
    EXPECT_NE(screen_lines(s, {80, 24})[0].find(" 1 update "), std::string::npos);
    s.updates = 2;
    EXPECT_NE(screen_lines(s, {80, 24})[0].find(" 2 updates "), std::string::npos);
}

}  // namespace
}  // namespace vandry_tools
