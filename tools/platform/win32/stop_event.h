// The Windows side's own access to stop requests and console events.
#pragma once

#include <windows.h>

namespace vandry_tools {

// Signalled from the first stop request on; null before install_stop_handlers().
HANDLE stop_request_event();

// What SetConsoleCtrlHandler calls, on a thread of its own. Ctrl-C and
// Ctrl-Break request a stop. When the console closes (or the user logs
// off, or the system shuts down), Windows ends the process as soon as this
// returns, so it holds on until the run is finished, for at most the few
// seconds Windows grants, so that the stop frame still goes out.
BOOL WINAPI on_console_event(DWORD event);

// Lets a console-close event return: the run is over. Called at exit.
void console_run_finished();

}  // namespace vandry_tools
