// vandry-sim: a simulated Vandry device on a pseudo-terminal, a fixture for
// testing any host without hardware. It prints the path of the port a host
// should open, then behaves as the device does.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "options.h"
#include "platform.h"
#include "pty.h"
#include "session.h"
#include "simulator_options.h"

namespace {

using namespace vandry_tools;

struct SimCommand {
    SimulatorOptions options;
    bool quiet = false;
    OptionParser parser{"vandry-sim", "[options]",
                        "Opens a pseudo-terminal, prints the path of its port on the first line of stdout, and acts as "
                        "a Vandry device on it: waits for the request frame, streams upload-data frames with sweeping "
                        "values, and ends on the stop frame."};

    SimCommand() {
        parser.section("The stream");
        add_stream_options(parser, options, "");
        parser.section("The session");
        parser.number("count", "N", options.frame_limit, 1, UINT64_MAX, "stop streaming after N frames");
        parser.flag("serve", options.serve, "after a stop frame, wait for the next request instead of ending");
        parser.number("vanish-after", "N", options.vanish_after, 1, UINT64_MAX,
                      "close the port after N frames, in the middle of the next one, like an unplugged device");
        parser.real("return-after", "S", options.return_after, 0.01, 3600,
                    "after vanishing, come back as a new port after S seconds (needs --link, which follows it; the "
                    "new path is printed on stdout)");
        parser.section("Output");
        parser.text("log", "FILE", options.log_path,
                    "write, for every frame once its last byte is written, the records a correct host holds after "
                    "it, as a JSON line, to a new FILE (never overwritten)");
        parser.text("link", "PATH", options.link_path,
                    "also make PATH a symbolic link to the port; PATH must be absent or a link to a pseudo-terminal");
        parser.flag("quiet", quiet, "say nothing on stderr");
    }

    std::string conflicts() const {
        if (parser.given("return-after") && !parser.given("vanish-after")) return "--return-after needs --vanish-after";
        if (parser.given("return-after") && !parser.given("link"))
            return "--return-after needs --link: the returning port has a new path, and the link follows it";
        return {};
    }
};

int fail(const std::string& message) {
    write_stderr("vandry-sim: " + message + "\n");
    return 1;
}

// Opens the port, makes the link, and says where the port is.
std::string offer_port(Pty& pty, PortLink& link, const std::string& link_path) {
    if (std::string problem = open_pty(pty); !problem.empty()) return problem;
    if (!link_path.empty()) {
        if (std::string problem = link.create(link_path, pty.path); !problem.empty()) return problem;
    }
    return announce_port(pty);
}

// A run that fails before the device starts takes back the empty log it
// created, so that the corrected command can create it again. A file that
// someone else has put at the path meanwhile stays.
void take_back_log(std::FILE* log, const std::string& path) {
    struct stat created {}, there {};
    if (fstat(fileno(log), &created) == 0 && lstat(path.c_str(), &there) == 0 && created.st_dev == there.st_dev &&
        created.st_ino == there.st_ino && there.st_size == 0)
        unlink(path.c_str());
    std::fclose(log);
}

}  // namespace

int main(int argc, char** argv) {
    vandry_tools::open_standard_streams();
    SimCommand command;
    auto outcome = command.parser.parse(argc, argv);
    if (outcome.run) {
        if (const std::string problem = command.conflicts(); !problem.empty()) outcome = command.parser.complaint(problem);
    }
    if (!outcome.run) {
        return print_outcome(outcome, "vandry-sim");
    }
    SimulatorOptions& options = command.options;
    options.verbose = !command.quiet;
    install_stop_handlers();

    std::string error;
    std::FILE* log = nullptr;
    if (!options.log_path.empty() && (log = create_file(options.log_path, "the log", error)) == nullptr) return fail(error);

    Pty pty;
    PortLink link;
    if (const std::string problem = offer_port(pty, link, options.link_path); !problem.empty()) {
        if (log != nullptr) take_back_log(log, options.log_path);
        return fail(problem);
    }

    int status = run_device(pty, options, log, options.link_path.empty() ? nullptr : &link);
    close_pty(pty);
    if (log != nullptr && std::fclose(log) != 0) status = fail("cannot write the log " + options.log_path);
    return status;
}
