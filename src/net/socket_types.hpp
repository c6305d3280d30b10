#pragma once
// The system's types under a socket, the one platform choice of the seam:
// NativeSocket (an int descriptor on POSIX, a SOCKET on Windows), kNoSocket,
// and GatherPiece, one piece of a gathered write (POSIX's own iovec).
#if defined(_WIN32)
#include "net/socket_types_windows.hpp"
#else
#include "net/socket_types_posix.hpp"
#endif
