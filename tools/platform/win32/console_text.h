// The live view writes a few virtual-terminal sequences. A console that
// does not take them (Windows before 10, or one that refuses the mode) gets
// the same screen through the console's own calls: this file turns the text
// into those calls.
#pragma once

#include <string_view>

namespace vandry_tools {

class ConsoleSink {
public:
    virtual ~ConsoleSink() = default;
    // Each returns false when the console failed.
    virtual bool text(std::string_view text) = 0;
    virtual bool home() = 0;              // ESC [ H
    virtual bool clear_screen() = 0;      // ESC [ 2 J
    virtual bool erase_to_line_end() = 0; // ESC [ K
    virtual bool erase_to_end() = 0;      // ESC [ J
    virtual bool dim(bool on) = 0;        // ESC [ 2 m, ESC [ 22 m (or 0 m)
};

// Plays `text` on `sink`; other sequences are dropped, never shown as
// text. False as soon as the sink fails.
bool play_on_console(std::string_view text, ConsoleSink& sink);

}  // namespace vandry_tools
