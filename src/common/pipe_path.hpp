#pragma once
// Where a pipe path lives on POSIX: "\\.\pipe\NAME" is the Unix-domain socket
// <tmp>/NAME.sock; any other path is the socket's filesystem path as given.
#include <string>

namespace quelt {

std::string pipe_socket_path(const std::string& pipe_path);

}  // namespace quelt
