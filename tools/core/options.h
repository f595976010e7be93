// The one command-line parser of the tools. Each option is declared once,
// with its value's form, its range and its help; the usage text is made
// from the same declarations. Accepted forms: --name VALUE, --name=VALUE,
// --help, --version. Numbers are decimal or 0x-hexadecimal; lists are
// comma-separated numbers (0,1,2).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vandry_tools {

class OptionParser {
public:
    // `synopsis` follows "usage: PROGRAM"; `description` is a short paragraph.
    OptionParser(std::string program, std::string synopsis, std::string description);

    // Options declared after this appear under `heading` in the usage.
    void section(std::string heading);

    void flag(std::string name, bool& target, std::string help);
    void text(std::string name, std::string value_name, std::string& target, std::string help);
    void real(std::string name, std::string value_name, double& target, double min, double max, std::string help);
    void positive(std::string name, std::string value_name, double& target, double max, std::string help);
    void list(std::string name, std::string value_name, std::vector<std::uint8_t>& target, std::string help);
    // One of the given words; `target` gets its index.
    void choice(std::string name, std::vector<std::string> words, int& target, std::string help);

    template <typename T>
    void number(std::string name, std::string value_name, T& target, std::uint64_t min, std::uint64_t max,
                std::string help) {
        add(std::move(name), std::move(value_name), std::move(help), [&target, min, max](std::string_view value) {
            std::uint64_t n = 0;
            if (!parse_number(value, min, max, n)) return range_complaint(min, max);
            target = static_cast<T>(n);
            return std::string();
        });
    }

    // The general form: `apply` takes the value and returns a complaint
    // ("takes ...") or an empty string.
    void add(std::string name, std::string value_name, std::string help,
             std::function<std::string(std::string_view)> apply);

    // Lets the option be given more than once; `apply` then sees each value
    // in command-line order. Any other option given twice is an error.
    void repeatable(std::string_view name);

    struct Outcome {
        bool run = false;     // false: print `text` and exit with `status`
        int status = 0;
        std::string text;
    };
    Outcome parse(int argc, char** argv);

    // Whether the user gave the option (after parse).
    bool given(std::string_view name) const { return given_.count(std::string(name)) != 0; }
    std::size_t given_count() const { return given_.size(); }

    // An error about the combination of options, in the parse's format.
    Outcome complaint(const std::string& message) const;

    std::string usage() const;

    static bool parse_number(std::string_view text, std::uint64_t min, std::uint64_t max, std::uint64_t& out);
    static bool parse_real(std::string_view text, double& out);
    static std::string range_complaint(std::uint64_t min, std::uint64_t max);

private:
    struct Option {
        std::string name;        // without the dashes
        std::string value_name;  // empty for a flag
        std::string help;
        std::string heading;
        std::function<std::string(std::string_view)> apply;
        bool repeatable = false;
    };

    Option* find(std::string_view name);
    const Option* find(std::string_view name) const;
    std::string take(int argc, char** argv, int& i);  // one argument; empty or a complaint

    std::string program_;
    std::string synopsis_;
    std::string description_;
    std::string heading_;
    std::vector<Option> options_;
    std::set<std::string> given_;
};

// The text of --version: the program's and the library's version.
std::string version_text(std::string_view program);

// Prints a parse's outcome that does not run (help, version, complaint) and
// returns the exit status: the outcome's own, or 1 when help or version
// could not be written to stdout (a full disk: the user would get nothing).
int print_outcome(const OptionParser::Outcome& outcome, std::string_view program);

}  // namespace vandry_tools
