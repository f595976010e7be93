#include "console_text.h"

namespace vandry_tools {
namespace {

constexpr char kEscape = '\x1b';

bool is_final(char c) { return c >= '@' && c <= '~'; }

bool play_sequence(std::string_view parameters, char final, ConsoleSink& sink) {
    switch (final) {
        case 'H': return parameters.empty() || parameters == "1;1" ? sink.home() : true;
        case 'J':
            if (parameters == "2") return sink.clear_screen();
            return parameters.empty() || parameters == "0" ? sink.erase_to_end() : true;
        case 'K': return parameters.empty() || parameters == "0" ? sink.erase_to_line_end() : true;
        case 'm':
            if (parameters == "2") return sink.dim(true);
            return parameters.empty() || parameters == "0" || parameters == "22" ? sink.dim(false) : true;
        default: return true;
    }
}

}  // namespace

bool play_on_console(std::string_view text, ConsoleSink& sink) {
    while (!text.empty()) {
        const std::size_t escape = text.find(kEscape);
        if (escape != 0) {
            if (!sink.text(text.substr(0, escape))) return false;
            if (escape == std::string_view::npos) return true;
            text.remove_prefix(escape);
        }
        // At an escape: ESC [ parameters final, or a lone escape, which is dropped.
        if (text.size() < 2 || text[1] != '[') {
            text.remove_prefix(1);
            continue;
        }
        std::size_t end = 2;
        while (end < text.size() && !is_final(text[end])) ++end;
        if (end == text.size()) return true;  // cut short: nothing to show
        if (!play_sequence(text.substr(2, end - 2), text[end], sink)) return false;
        text.remove_prefix(end + 1);
    }
    return true;
}

}  // namespace vandry_tools
