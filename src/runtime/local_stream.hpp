#pragma once
// The control channel's byte stream to the server. The twins offer the same
// operations (connect by pipe path, read_some, write_some, awaited for the
// number of bytes moved or the system's error code) over different systems:
// POSIX a Unix-domain socket driven by readiness (unix_stream.hpp), Windows
// a named pipe driven by a completion port (pipe_stream.hpp).
#ifdef _WIN32
#include "runtime/pipe_stream.hpp"
namespace quelt::runtime {
using LocalStream = PipeStream;
}
#else
#include "runtime/unix_stream.hpp"
namespace quelt::runtime {
using LocalStream = UnixStream;
}
#endif
