// What the Windows side does that no end-to-end run under Wine can show:
// console events other than Ctrl-C, and the names it takes for COM ports.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

#include "com_port.h"
#include "platform.h"
#include "scratch_dir.h"
#include "stop_event.h"

namespace vandry_tools {
namespace {

constexpr DWORD kDeadlineMs = 10000;

bool within_deadline(bool (*condition)()) {
    for (DWORD waited = 0; !condition(); waited += 5) {
        if (waited > kDeadlineMs) return false;
        Sleep(5);
    }
    return true;
}

// Each console event runs in a process of its own: a stop request is for
// the whole process, and would end the waits of the tests after it.
TEST(ConsoleEventsDeathTest, CtrlCAndCtrlBreakRequestAStopAndEndWaitsAtOnce) {
    for (DWORD event : {DWORD{CTRL_C_EVENT}, DWORD{CTRL_BREAK_EVENT}}) {
        EXPECT_EXIT(
            {
                install_stop_handlers();
                const bool before = stop_requested();
                const BOOL handled = on_console_event(event);
                const double started = now_seconds();
                pause_for(30);
                std::exit(!before && handled && stop_requested() && now_seconds() - started < 5 ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << event;
    }
}

DWORD WINAPI close_the_console(void*) { return on_console_event(CTRL_CLOSE_EVENT) ? 0 : 1; }

// Windows ends the process when the handler returns: it must hold on until
// the run has sent the stop frame, and then let go.
TEST(ConsoleEventsDeathTest, ClosingTheConsoleHoldsTheProcessUntilTheRunIsFinished) {
    EXPECT_EXIT(
        {
            install_stop_handlers();
            const HANDLE handler = CreateThread(nullptr, 0, close_the_console, nullptr, 0, nullptr);
            const bool stopped = within_deadline(stop_requested);
            const bool held = WaitForSingleObject(handler, 0) == WAIT_TIMEOUT;
            console_run_finished();
            const bool let_go = WaitForSingleObject(handler, kDeadlineMs) == WAIT_OBJECT_0;
            std::exit(stopped && held && let_go ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ComPortNames, ComPortsAndFilesAreToldApart) {
    const std::pair<const char*, bool> cases[] = {
        {"COM5", true},  {"com12", true},  {"\\\\.\\COM12", true}, {"COM", false},     {"COM5x", false},
        {"COMX", false}, {"capture.cap", false}, {"C:\\sbus.bin", false}, {"\\\\.\\pipe\\x", false},
    };
    for (const auto& [name, com] : cases) EXPECT_EQ(names_com_port(name), com) << name;
}

TEST(Files, AnExistingFileIsNeverOverwritten) {
    ScratchDir scratch;
    const std::string path = scratch.path("kept.cap");
    std::string error;
    std::FILE* first = create_file(path, "the capture", error);
    ASSERT_NE(first, nullptr) << error;
    std::fputs("keep me", first);
    std::fclose(first);
    EXPECT_EQ(create_file(path, "the capture", error), nullptr);
    EXPECT_NE(error.find("cannot create the capture " + path + ": "), std::string::npos) << error;
    EXPECT_NE(error.find("(it is never overwritten"), std::string::npos) << error;
    const auto kept = ScratchDir::contents(path);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep me");
}

TEST(Files, ASbusOutputNeverOverwritesAFileAndNamesWhatFailed) {
    ScratchDir scratch;
    const std::string existing = scratch.path("existing.bin");
    std::fclose(std::fopen(existing.c_str(), "wb"));
    const std::pair<std::string, std::string> cases[] = {
        {existing, "the SBUS output " + existing + " is an existing file, which is never overwritten"},
        {scratch.dir(), "the SBUS output " + scratch.dir() + " is not a COM port or file"},
        {scratch.dir() + "\\no\\such\\sbus.bin", "cannot create the SBUS output " + scratch.dir() + "\\no\\such\\sbus.bin: "},
        {"COM199", "cannot open the SBUS output COM199: "},
    };
    for (const auto& [path, message] : cases) {
        SbusLine line;
        const std::string said = line.open(path);
        EXPECT_EQ(said.find(message), 0u) << said;
    }
}

// A replay from a named pipe whose writer stalls: what came is passed on at
// once, and the wait for more is the run's to end (a stop, the deadline).
struct PipeRead {
    InputFile* input;
    std::uint8_t buffer[100];
    std::ptrdiff_t got = -2;  // -2: the read has not returned
};

DWORD WINAPI read_some_of(void* read) {
    auto& r = *static_cast<PipeRead*>(read);
    r.got = r.input->read_some(r.buffer, sizeof r.buffer);
    return 0;
}

// A read on a thread of its own, so that one that never returns fails the test instead of hanging it.
std::ptrdiff_t read_within_deadline(InputFile& input, std::string& bytes) {
    static PipeRead read;  // outlives a read that never returns
    read = {&input, {}, -2};
    const HANDLE thread = CreateThread(nullptr, 0, read_some_of, &read, 0, nullptr);
    const bool returned = WaitForSingleObject(thread, kDeadlineMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (!returned) return -2;
    if (read.got > 0) bytes.assign(reinterpret_cast<const char*>(read.buffer), static_cast<std::size_t>(read.got));
    return read.got;
}

TEST(Files, AReplayFromANamedPipePassesOnWhatCameAndItsWaitEndsWhenTheRunSays) {
    const std::string name = "\\\\.\\pipe\\vandry-tools-test-" + std::to_string(GetCurrentProcessId());
    const HANDLE writer = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                           4096, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    int waits = 0;
    InputFile input;
    std::string error;
    ASSERT_TRUE(input.open(name, "the capture to replay", 0, [&] { return ++waits > 3 ? -1.0 : 0.01; }, error))
        << error;
    ASSERT_TRUE(ConnectNamedPipe(writer, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "abc", 3, &written, nullptr));
    std::string bytes;
    // A read that never returns ends the test: the next one would share its buffer.
    ASSERT_EQ(read_within_deadline(input, bytes), 3) << "three bytes came, and a read asked for 100";
    EXPECT_EQ(bytes, "abc");
    ASSERT_EQ(read_within_deadline(input, bytes), 0) << "the wait for a stalled writer ends as the run says";
    EXPECT_EQ(waits, 4);
    CloseHandle(writer);
    ASSERT_EQ(read_within_deadline(input, bytes), 0) << "a writer that went away is the end";
}

}  // namespace
}  // namespace vandry_tools
