#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "VandryInterface.h"
#include "platform.h"

namespace vandry_tools {
namespace {

constexpr std::size_t kHelpColumn = 24;
constexpr std::size_t kLineWidth = 79;

// `words` wrapped to the line width, every line but the first indented.
std::string wrapped(std::string_view words, std::size_t indent) {
    std::string out;
    std::size_t column = indent;
    while (!words.empty()) {
        const std::size_t space = words.find(' ');
        const std::string_view word = words.substr(0, space);
        words = space == std::string_view::npos ? std::string_view{} : words.substr(space + 1);
        if (word.empty()) continue;
        if (column > indent && column + 1 + word.size() > kLineWidth) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
        } else if (column > indent) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
    }
    return out;
}

std::string shown(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

OptionParser::OptionParser(std::string program, std::string synopsis, std::string description)
    : program_(std::move(program)), synopsis_(std::move(synopsis)), description_(std::move(description)) {}

void OptionParser::section(std::string heading) { heading_ = std::move(heading); }

void OptionParser::add(std::string name, std::string value_name, std::string help,
                       std::function<std::string(std::string_view)> apply) {
    options_.push_back({std::move(name), std::move(value_name), std::move(help), heading_, std::move(apply)});
}

void OptionParser::flag(std::string name, bool& target, std::string help) {
    add(std::move(name), "", std::move(help), [&target](std::string_view) {
        target = true;
        return std::string();
    });
}

void OptionParser::text(std::string name, std::string value_name, std::string& target, std::string help) {
    add(std::move(name), std::move(value_name), std::move(help), [&target](std::string_view value) {
        if (value.empty()) return std::string("takes a non-empty value");
        target = std::string(value);
        return std::string();
    });
}

void OptionParser::real(std::string name, std::string value_name, double& target, double min, double max,
                        std::string help) {
    add(std::move(name), std::move(value_name), std::move(help), [&target, min, max](std::string_view value) {
        double n = 0;
        if (!parse_real(value, n) || n < min || n > max)
            return "takes a number from " + shown(min) + " to " + shown(max);
        target = n;
        return std::string();
    });
}

void OptionParser::positive(std::string name, std::string value_name, double& target, double max, std::string help) {
    add(std::move(name), std::move(value_name), std::move(help), [&target, max](std::string_view value) {
        double n = 0;
        if (!parse_real(value, n) || !(n > 0) || n > max) return "takes a number above 0, up to " + shown(max);
        target = n;
        return std::string();
    });
}

void OptionParser::list(std::string name, std::string value_name, std::vector<std::uint8_t>& target,
                        std::string help) {
    add(std::move(name), std::move(value_name), std::move(help), [&target](std::string_view value) {
        std::vector<std::uint8_t> items;
        std::string_view rest = value;
        for (bool more = !rest.empty(); more;) {
            const std::size_t comma = rest.find(',');
            std::uint64_t n = 0;
            if (!parse_number(rest.substr(0, comma), 0, 255, n) || items.size() == 64)
                return std::string("takes a list of 1 to 64 numbers from 0 to 255, like 0,1,2");
            items.push_back(static_cast<std::uint8_t>(n));
            more = comma != std::string_view::npos;
            if (more) rest = rest.substr(comma + 1);
        }
        if (items.empty()) return std::string("takes a list of 1 to 64 numbers from 0 to 255, like 0,1,2");
        target = items;
        return std::string();
    });
}

void OptionParser::choice(std::string name, std::vector<std::string> words, int& target, std::string help) {
    std::string value_name;
    for (const auto& word : words) {
        if (!value_name.empty()) value_name += '|';
        value_name += word;
    }
    add(std::move(name), value_name, std::move(help), [&target, words, value_name](std::string_view value) {
        for (std::size_t k = 0; k < words.size(); ++k) {
            if (words[k] == value) {
                target = static_cast<int>(k);
                return std::string();
            }
        }
        return "takes one of " + value_name;
    });
}

bool OptionParser::parse_number(std::string_view text, std::uint64_t min, std::uint64_t max, std::uint64_t& out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

bool OptionParser::parse_real(std::string_view text, double& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() && std::isfinite(out);
}

std::string OptionParser::range_complaint(std::uint64_t min, std::uint64_t max) {
    return "takes a number from " + std::to_string(min) + " to " + std::to_string(max);
}

const OptionParser::Option* OptionParser::find(std::string_view name) const {
    for (const auto& option : options_)
        if (option.name == name) return &option;
    return nullptr;
}

OptionParser::Option* OptionParser::find(std::string_view name) {
    return const_cast<Option*>(std::as_const(*this).find(name));
}

void OptionParser::repeatable(std::string_view name) {
    if (Option* option = find(name)) option->repeatable = true;
}

std::string OptionParser::take(int argc, char** argv, int& i) {
    const std::string_view arg = argv[i];
    if (arg.size() < 3 || arg.substr(0, 2) != "--") return "unexpected argument '" + std::string(arg) + "'";
    const std::size_t equals = arg.find('=');
    const std::string name(arg.substr(2, equals == std::string_view::npos ? std::string_view::npos : equals - 2));
    const Option* option = find(name);
    if (option == nullptr) return "unknown option --" + name;
    if (!given_.insert(name).second && !option->repeatable) return "--" + name + " is given twice";
    std::string_view value;
    if (option->value_name.empty()) {
        if (equals != std::string_view::npos) return "--" + name + " takes no value";
    } else if (equals != std::string_view::npos) {
        value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
        value = argv[++i];
    } else {
        return "--" + name + " needs a value (" + option->value_name + ")";
    }
    const std::string complaint = option->apply(value);
    return complaint.empty() ? complaint : "--" + name + " " + complaint + ", not '" + std::string(value) + "'";
}

OptionParser::Outcome OptionParser::parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") return {false, 0, usage()};
        if (arg == "--version") return {false, 0, version_text(program_)};
    }
    for (int i = 1; i < argc; ++i) {
        if (const std::string problem = take(argc, argv, i); !problem.empty()) return complaint(problem);
    }
    return {true, 0, {}};
}

int print_outcome(const OptionParser::Outcome& outcome, std::string_view program) {
    if (outcome.status != 0) {
        write_stderr(outcome.text);
        return outcome.status;
    }
    std::string error;
    if (write_stdout(outcome.text, error) != WriteStatus::failed) return 0;  // or its reader left: nothing to say
    write_stderr(std::string(program) + ": " + error + "\n");
    return 1;
}

OptionParser::Outcome OptionParser::complaint(const std::string& message) const {
    return {false, 2, program_ + ": " + message + "\nRun '" + program_ + " --help' for the options.\n"};
}

std::string OptionParser::usage() const {
    std::string out = "usage: " + program_ + " " + synopsis_ + "\n\n" + wrapped(description_, 0) + "\n";
    std::string heading = "\n";  // never a real heading: the first one is always printed
    for (const auto& option : options_) {
        if (option.heading != heading) {
            heading = option.heading;
            out += "\n" + heading + ":\n";
        }
        std::string left = "  --" + option.name + (option.value_name.empty() ? "" : " " + option.value_name);
        left += left.size() + 2 <= kHelpColumn ? std::string(kHelpColumn - left.size(), ' ')
                                               : "\n" + std::string(kHelpColumn, ' ');
        out += left + wrapped(option.help, kHelpColumn) + "\n";
    }
    out += "\n  --help                this text\n  --version             the program's and the library's version\n";
    return out;
}

std::string version_text(std::string_view program) {
    char text[128];
    std::snprintf(text, sizeof text, "%.*s (VandryInterface %d.%d.%d)\n", static_cast<int>(program.size()),
                  program.data(), VANDRY_INTERFACE_VERSION_MAJOR, VANDRY_INTERFACE_VERSION_MINOR,
                  VANDRY_INTERFACE_VERSION_PATCH);
    return text;
}

}  // namespace vandry_tools
