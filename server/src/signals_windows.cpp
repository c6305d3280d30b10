// Stopping the Windows server: Ctrl+C or Ctrl+Break count as SIGINT; closing
// the console, logging off, shutting down and the end of standard input
// count as SIGTERM. The console's handler only records the event; the main
// thread, waiting in wait_for_stop_signal, does the stopping.
#include <windows.h>

#include <csignal>
#include <thread>

#include "signals.hpp"

namespace quelt::server {
namespace {

HANDLE stop_event() {
    static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

LONG volatile stop_signal = 0;

void request_stop(int signal_number) {
    ::InterlockedCompareExchange(&stop_signal, signal_number, 0);
    ::SetEvent(stop_event());
}

BOOL WINAPI on_console_event(DWORD event) {
    request_stop(event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM);
    // Closing events end the process when the handler returns: give the main
    // thread the little time Windows allows to stop in order.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(4000);
    return TRUE;
}

}  // namespace

void block_stop_signals() {
    stop_event();
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

int wait_for_stop_signal() {
    ::WaitForSingleObject(stop_event(), INFINITE);
    return static_cast<int>(stop_signal);
}

void stop_when_stdin_closes() {
    std::thread([] {
        HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        char discard[256];
        DWORD got = 0;
        while (input != nullptr && input != INVALID_HANDLE_VALUE && ::ReadFile(input, discard, sizeof discard, &got, nullptr) &&
               got != 0) {
        }
        request_stop(SIGTERM);
    }).detach();
}

}  // namespace quelt::server
