#pragma once
// The gather-write record that reply frames are laid out in: POSIX's own
// iovec. Windows has none, so the Windows build declares the same two fields.
#ifdef _WIN32
#include <cstddef>
struct iovec {
    void* iov_base;
    std::size_t iov_len;
};
#else
#include <sys/uio.h>
#endif
