// What the host tools need from the operating system, behind one small
// interface: the clock, stop requests, the terminal, the console streams,
// ports and the SBUS line. The tools' core includes only this header; each
// system implements it in its own files (platform/posix/, platform/win32/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vandry_tools {

// ---- What this system offers -----------------------------------------------

struct SystemTraits {
    const char* serial_port_example;  // for the usage text: /dev/ttyUSB0, COM5
    bool has_built_in_device;         // the simulated device needs a pseudo-terminal
    bool has_hidraw;                  // HID reports are read through Linux hidraw
};
const SystemTraits& system_traits();

// Gives every closed standard stream (a program started with `>&-`) the null
// device. Otherwise the first pipe or port the program opens would take that
// number, and its output would be written there. Call it first in main().
void open_standard_streams();

// ---- Clock ----------------------------------------------------------------

// The one clock of the tools: monotonic seconds from an arbitrary origin.
double now_seconds();

// Waits up to `seconds`; returns early when a stop is requested.
void pause_for(double seconds);

// ---- Stop requests --------------------------------------------------------

// Turns Ctrl-C, termination, hang-up and quit (on Windows: the console's
// control events) into a stop request instead of an abrupt end, and makes a
// closed stdout an error on write rather than a fatal signal.
void install_stop_handlers();
bool stop_requested();

// ---- Terminal and console -------------------------------------------------

struct TerminalSize {
    int columns = 80;
    int rows = 24;
};

bool stdout_is_terminal();
TerminalSize terminal_size();   // of stdout; 80 x 24 when it cannot be known
bool take_terminal_resized();   // true once after each change of size

enum class WriteStatus { ok, closed, failed };

// Writes all of `text` to stdout, retrying interrupted writes. `closed`
// means nobody reads it any more (a pipe whose reader went away); `failed`
// leaves the reason in `error`. Once a stop is requested, a reader that
// takes nothing for two seconds counts as gone.
WriteStatus write_stdout(std::string_view text, std::string& error);

// stdout for a loop that must never wait on it (the monitor's). Hands stdout
// what it takes at once of `text`, and returns at once: `taken` counts the
// bytes it took, which go out in order. A slow or stalled reader is no
// error: it takes less, or nothing, until it reads again. `closed` and
// `failed` mean as for write_stdout, for these bytes or earlier ones.
WriteStatus offer_stdout(std::string_view text, std::size_t& taken, std::string& error);

// How much of `text` to write at once: at most `most` bytes, ending at a
// line end when one lies within them. A run that ends while its reader
// stalls then leaves whole lines on stdout, never the start of one.
inline std::size_t whole_lines_piece(std::string_view text, std::size_t most) {
    if (text.size() <= most) return text.size();
    const std::size_t last_end = text.substr(0, most).rfind('\n');
    return last_end == std::string_view::npos ? most : last_end + 1;
}
// Waits up to `seconds` until stdout may take more (or has sent all it
// took); a stop request ends the wait at once.
void wait_for_stdout(double seconds);
// Whether every byte stdout took has been written out, not only taken.
bool stdout_flushed();
void write_stderr(std::string_view text);

// ---- Files ----------------------------------------------------------------

// Creates a file for writing. An existing file is refused, so that nothing
// a user keeps is overwritten by accident. Returns null with
// the reason in `error`, naming what the file is for (`role`, e.g. "the
// capture") and its path.
std::FILE* create_file(const std::string& path, const std::string& role, std::string& error);

// What a run does while a read waits for a FIFO's writer: it keeps its
// outputs going, and returns how long the wait may last before it is
// called again (seconds), or a negative number to end the wait, which then
// reads as the end of the file.
using WhileWaiting = std::function<double()>;

// An existing file opened for reading. A FIFO is open once its writer has
// written something (or come and gone): the wait ends at a stop request or
// at `until` (in now_seconds(); 0: no limit), with false and `error` empty.
// Otherwise false means failure, with the reason in `error`. Reads from a
// FIFO wait for a stalled writer the same way, and read the end of the file
// at a stop request, at `until`, or when `while_waiting` ends the wait; it
// is called all the while they wait.
class InputFile {
public:
    InputFile();
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool open(const std::string& path, const std::string& role, double until, WhileWaiting while_waiting,
              std::string& error);
    bool is_open() const;
    // What one read brings, up to `size` bytes: it waits only until there
    // is at least one, so that bytes are passed on as they come. 0 at the
    // end; -1 on failure, with errno set.
    std::ptrdiff_t read_some(std::uint8_t* buffer, std::size_t size);

    struct State;  // each system's own

private:
    std::unique_ptr<State> state_;
};

// Whether two paths lead to one file or device (through links, or another
// node of the same device).
bool same_file(const std::string& a, const std::string& b);

// Whether writing to `path` would write where stdout goes (/dev/stdout, the
// terminal stdout is on). The null device swallows both, and counts as no.
bool is_stdout(const std::string& path);

// ---- Ports ----------------------------------------------------------------

enum class ReadStatus { bytes, timeout, vanished, failed };

struct ReadResult {
    ReadStatus status = ReadStatus::timeout;
    std::size_t count = 0;
    std::string error;  // for vanished and failed: what happened, with the path
    bool more = false;  // for bytes: more were waiting already when the read returned
};

// The device's serial port, or its HID device (one report per read). The
// settings found on opening are restored on closing.
class Port {
public:
    Port();
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Each returns an empty string, or the reason with the path.
    std::string open_serial(const std::string& path, unsigned baud);  // raw 8N1
    std::string open_hid(const std::string& path);
    void close();
    bool is_open() const;

    ReadResult read(std::uint8_t* buffer, std::size_t size, double timeout_seconds);
    std::string write_all(std::span<const std::uint8_t> bytes);
    void drain();  // waits (briefly) until written bytes have gone out

    struct State;  // each system's own

private:
    std::unique_ptr<State> state_;
};

// The serial speeds Port::open_serial accepts, ascending.
std::span<const unsigned> supported_baud_rates();

struct SerialPortEntry {
    std::string name;    // what --port takes
    std::string detail;  // where it leads (a by-id link's device, a COM port's driver), or empty
};

// The machine's serial ports, in the order a user looks for them: named
// ones first (on Linux the /dev/serial/by-id links), then the rest. An
// empty list with `error` set when they cannot be read.
std::vector<SerialPortEntry> list_serial_ports(std::string& error);

// Where SBUS frames go: a serial device (set to 100000 baud 8E2, restored
// at the end), a FIFO or a new file. Writing never blocks: a FIFO without a
// reader and a full line are states, not errors.
class SbusLine {
public:
    SbusLine();
    ~SbusLine();
    SbusLine(const SbusLine&) = delete;
    SbusLine& operator=(const SbusLine&) = delete;

    std::string open(const std::string& path);  // empty, or the reason with the path

    enum class Sent { sent, no_reader, busy, failed };
    Sent send(std::span<const std::uint8_t> frame, std::string& error);

    struct State;  // each system's own

private:
    std::unique_ptr<State> state_;
};

// ---- The built-in simulated device ----------------------------------------

struct SimulatorOptions;

// A simulated device on a port of its own, for trying the monitor without
// hardware. It ends with the monitor, however the monitor ends.
class BuiltInDevice {
public:
    BuiltInDevice();
    ~BuiltInDevice();  // waits briefly for it to end after the stop frame, then ends it
    BuiltInDevice(const BuiltInDevice&) = delete;
    BuiltInDevice& operator=(const BuiltInDevice&) = delete;

    std::string start(const SimulatorOptions& options);  // empty, or the reason
    const std::string& path() const;                     // the port to open

    struct State;  // each system's own

private:
    std::unique_ptr<State> state_;
};

}  // namespace vandry_tools
