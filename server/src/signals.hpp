#pragma once
// SIGINT and SIGTERM end the server in an orderly way: they are blocked in
// every thread and taken by the main thread with sigwait, so no handler runs
// in the middle of a connection's work.
namespace quelt::server {

// Call first in main, before any thread starts (threads inherit the mask).
void block_stop_signals();
// Returns the number of the stop signal that arrived.
int wait_for_stop_signal();
// Sends this process SIGTERM once standard input reaches its end.
void stop_when_stdin_closes();

}  // namespace quelt::server
