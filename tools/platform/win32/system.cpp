// The clock, stop requests, the console and files on Windows.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <timeapi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "console_text.h"
#include "platform.h"
#include "stop_event.h"
#include "win32_errors.h"

namespace vandry_tools {
namespace {

volatile LONG stop_flag = 0;
HANDLE stop_event = nullptr;
HANDLE finished_event = nullptr;

// Windows ends a process about five seconds after its console closed.
constexpr DWORD kCloseGraceMs = 4500;

HANDLE standard(DWORD which) { return GetStdHandle(which); }

// What stdout is, found once: a console, and whether it takes
// virtual-terminal sequences.
struct Console {
    bool is_console = false;
    bool sequences = false;
    DWORD original_mode = 0;
    WORD original_attributes = 0;
};

void restore_console_mode();

const Console& console() {
    static const Console found = [] {
        Console c;
        const HANDLE out = standard(STD_OUTPUT_HANDLE);
        c.is_console = GetConsoleMode(out, &c.original_mode) != 0;
        if (!c.is_console) return c;
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (GetConsoleScreenBufferInfo(out, &info)) c.original_attributes = info.wAttributes;
        c.sequences = (c.original_mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                      SetConsoleMode(out, c.original_mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
        std::atexit(restore_console_mode);
        return c;
    }();
    return found;
}

void restore_console_mode() { SetConsoleMode(standard(STD_OUTPUT_HANDLE), console().original_mode); }

// The console's own calls, for a console without virtual-terminal sequences.
class PlainConsole final : public ConsoleSink {
public:
    PlainConsole() : out_(standard(STD_OUTPUT_HANDLE)) {}

    bool text(std::string_view text) override {
        while (!text.empty()) {
            DWORD written = 0;
            if (!WriteConsoleA(out_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0)
                return false;
            text.remove_prefix(written);
        }
        return true;
    }
    bool home() override {
        CONSOLE_SCREEN_BUFFER_INFO i{};
        return GetConsoleScreenBufferInfo(out_, &i) && SetConsoleCursorPosition(out_, {i.srWindow.Left, i.srWindow.Top});
    }
    bool clear_screen() override { return home() && erase_to_end(); }
    bool erase_to_line_end() override {
        CONSOLE_SCREEN_BUFFER_INFO i{};
        return GetConsoleScreenBufferInfo(out_, &i) && blank(i.dwCursorPosition, i.dwSize.X - i.dwCursorPosition.X, i);
    }
    bool erase_to_end() override {
        CONSOLE_SCREEN_BUFFER_INFO i{};
        if (!GetConsoleScreenBufferInfo(out_, &i)) return false;
        const int rows = i.srWindow.Bottom - i.dwCursorPosition.Y;
        return blank(i.dwCursorPosition, i.dwSize.X - i.dwCursorPosition.X + rows * i.dwSize.X, i);
    }
    bool dim(bool on) override {
        const WORD normal = console().original_attributes;
        const WORD gray = static_cast<WORD>((normal & 0xF0) | FOREGROUND_INTENSITY);
        return SetConsoleTextAttribute(out_, on ? gray : normal) != 0;
    }

private:
    bool blank(COORD from, int cells, const CONSOLE_SCREEN_BUFFER_INFO& i) {
        DWORD done = 0;
        const auto count = static_cast<DWORD>(cells > 0 ? cells : 0);
        return FillConsoleOutputCharacterA(out_, ' ', count, from, &done) &&
               FillConsoleOutputAttribute(out_, i.wAttributes, count, from, &done);
    }

    HANDLE out_;
};

// Wine reports a pipe whose reader has gone as not connected.
bool means_reader_gone(DWORD code) {
    return code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace

const SystemTraits& system_traits() {
    static const SystemTraits traits{"COM5", false, false};
    return traits;
}

double now_seconds() {
    static const double ticks_per_second = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / ticks_per_second;
}

void pause_for(double seconds) {
    const double until = now_seconds() + seconds;
    for (double left = seconds; left > 0 && !stop_requested(); left = until - now_seconds()) {
        const auto ms = static_cast<DWORD>(std::ceil(left * 1000));  // never early
        if (stop_event != nullptr) {
            WaitForSingleObject(stop_event, ms);  // a stop ends it at once
        } else {
            Sleep(ms);
        }
    }
}

HANDLE stop_request_event() { return stop_event; }

BOOL WINAPI on_console_event(DWORD event) {
    InterlockedExchange(&stop_flag, 1);
    if (stop_event != nullptr) SetEvent(stop_event);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    if (finished_event != nullptr) WaitForSingleObject(finished_event, kCloseGraceMs);
    return TRUE;
}

void console_run_finished() {
    if (finished_event != nullptr) SetEvent(finished_event);
}

void install_stop_handlers() {
    if (stop_event == nullptr) stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (finished_event == nullptr) finished_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    std::atexit(console_run_finished);
    // The SBUS pacing and the live view wait a few milliseconds at a time;
    // the default timer ticks every 15.6 ms. Windows restores it at exit.
    timeBeginPeriod(1);
}

bool stop_requested() { return InterlockedCompareExchange(&stop_flag, 0, 0) != 0; }

bool stdout_is_terminal() { return console().is_console; }

TerminalSize terminal_size() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(standard(STD_OUTPUT_HANDLE), &info)) return {};
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (columns <= 0 || rows <= 0) return {};
    return {columns, rows};
}

// A console window tells of a new size only through its input queue; the
// view asks often enough for a comparison to do.
bool take_terminal_resized() {
    static TerminalSize last = terminal_size();
    const TerminalSize now = terminal_size();
    const bool changed = now.columns != last.columns || now.rows != last.rows;
    last = now;
    return changed;
}

WriteStatus write_stdout(std::string_view text, std::string& error) {
    if (console().is_console && !console().sequences) {
        PlainConsole plain;
        if (play_on_console(text, plain)) return WriteStatus::ok;
        return stop_requested() ? WriteStatus::closed : (error = "cannot write to the console", WriteStatus::failed);
    }
    const HANDLE out = standard(STD_OUTPUT_HANDLE);
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
            const DWORD code = GetLastError();
            if (means_reader_gone(code) || stop_requested()) return WriteStatus::closed;
            error = "cannot write to stdout: " + system_message(code);
            return WriteStatus::failed;
        }
        text.remove_prefix(written);
    }
    return WriteStatus::ok;
}

namespace {

// stdout's writer: a pipe cannot be asked how much it would take without
// blocking, so a thread of its own does the waiting. The monitor's loop
// hands it one piece at a time and never waits for it.
class StdoutWriter {
public:
    static constexpr std::size_t kPiece = std::size_t{64} << 10;

    StdoutWriter() {
        InitializeCriticalSection(&lock_);
        work_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        idle_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        thread_ = CreateThread(nullptr, 0, &StdoutWriter::run, this, 0, nullptr);
    }

    WriteStatus offer(std::string_view text, std::size_t& taken, std::string& error) {
        taken = 0;
        if (thread_ == nullptr) {  // no thread to be had: the old way, waiting
            const WriteStatus status = write_stdout(text, error);
            if (status == WriteStatus::ok) taken = text.size();
            return status;
        }
        EnterCriticalSection(&lock_);
        const WriteStatus status = status_;
        if (status != WriteStatus::ok) {
            error = error_;
        } else if (!busy_ && !text.empty()) {
            taken = whole_lines_piece(text, kPiece);
            piece_.assign(text.substr(0, taken));
            busy_ = true;
            ResetEvent(idle_);
            SetEvent(work_);
        }
        LeaveCriticalSection(&lock_);
        return status;
    }

    void wait(double seconds) {
        const HANDLE events[2] = {idle_, stop_event};
        const auto ms = seconds <= 0 ? DWORD{0} : static_cast<DWORD>(seconds * 1000) + 1;
        // The stop event stays set once a stop is requested: it ends a wait only until then.
        WaitForMultipleObjects(stop_event != nullptr && !stop_requested() ? 2 : 1, events, FALSE, ms);
    }

    bool flushed() {
        EnterCriticalSection(&lock_);
        const bool done = !busy_;
        LeaveCriticalSection(&lock_);
        return done;
    }

private:
    static DWORD WINAPI run(void* self) {
        static_cast<StdoutWriter*>(self)->write_pieces();
        return 0;
    }

    void write_pieces() {
        std::string piece, error;
        for (;;) {
            WaitForSingleObject(work_, INFINITE);
            EnterCriticalSection(&lock_);
            piece.swap(piece_);
            LeaveCriticalSection(&lock_);
            const WriteStatus status = write_stdout(piece, error);
            EnterCriticalSection(&lock_);
            status_ = status;
            error_ = error;
            busy_ = false;
            SetEvent(idle_);
            LeaveCriticalSection(&lock_);
            if (status != WriteStatus::ok) return;
        }
    }

    CRITICAL_SECTION lock_;
    HANDLE work_ = nullptr;
    HANDLE idle_ = nullptr;
    HANDLE thread_ = nullptr;
    std::string piece_;  // handed over, not yet taken by the thread
    bool busy_ = false;  // a piece is handed over and not yet written
    WriteStatus status_ = WriteStatus::ok;
    std::string error_;
};

// Made on first use and never destroyed: the thread may be inside a write
// that never returns (a stalled reader) when the process ends.
StdoutWriter& stdout_writer() {
    static StdoutWriter* writer = new StdoutWriter;
    return *writer;
}

}  // namespace

WriteStatus offer_stdout(std::string_view text, std::size_t& taken, std::string& error) {
    return stdout_writer().offer(text, taken, error);
}

void wait_for_stdout(double seconds) { stdout_writer().wait(seconds); }

bool stdout_flushed() { return stdout_writer().flushed(); }

void write_stderr(std::string_view text) {
    const HANDLE err = standard(STD_ERROR_HANDLE);
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0)
            return;  // nowhere left to tell anyone
        text.remove_prefix(written);
    }
}

namespace {

UINT original_output_code_page = 0;

void restore_output_code_page() { SetConsoleOutputCP(original_output_code_page); }

// The program's text is UTF-8 where its manifest is honoured (file names in
// messages); a console shows bytes in its own code page, so for the run it
// takes UTF-8, and gets its own back at exit.
void speak_utf8_to_the_console() {
    original_output_code_page = GetConsoleOutputCP();  // 0 without a console
    if (GetACP() != CP_UTF8 || original_output_code_page == 0 || original_output_code_page == CP_UTF8) return;
    if (SetConsoleOutputCP(CP_UTF8)) std::atexit(restore_output_code_page);
}

// A Windows program started without stdout or stderr (a parent that gave
// none, `>&-` under Wine) has a null or dead handle there, never another
// object's, but every write to it fails: stdout would fail the run. The
// null device takes what goes there, as on Linux.
bool is_dead(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return true;
    // Wine gives a closed descriptor a handle that says it is a file; writing
    // nothing to a file tells (to a pipe it would read as the end at the
    // other side, so pipes are not asked).
    DWORD written = 0;
    return GetFileType(handle) == FILE_TYPE_DISK && !WriteFile(handle, "", 0, &written, nullptr) &&
           GetLastError() == ERROR_INVALID_HANDLE;
}

}  // namespace

void open_standard_streams() {
    speak_utf8_to_the_console();
    for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        if (!is_dead(standard(which))) continue;
        const HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        if (null != INVALID_HANDLE_VALUE) SetStdHandle(which, null);
    }
}

std::FILE* create_file(const std::string& path, const std::string& role, std::string& error) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = "cannot create " + role + " " + path + ": " + system_message(code);
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
            error += " (it is never overwritten; remove it or choose another name)";
        return nullptr;
    }
    // NUL, CON, AUX, COM1 ... stay devices with an extension in any folder
    // (before Windows 11): "nul.cap" would swallow the whole recording.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        error = "cannot create " + role + " " + path +
                ": Windows keeps this name for a device (NUL, CON, PRN, AUX, COM1-9, LPT1-9, with any extension); "
                "choose another name";
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    std::FILE* stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (stream == nullptr) {
        error = "cannot write " + role + " " + path;
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(file);
        }
    }
    return stream;
}

}  // namespace vandry_tools
