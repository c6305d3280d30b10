#pragma once
// The gather-write record that reply frames are laid out in: POSIX's own
// iovec, which the Windows build declares with the same two fields (see
// net/socket_types.hpp).
#include "net/socket_types.hpp"
