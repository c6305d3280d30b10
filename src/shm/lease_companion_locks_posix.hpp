#pragma once
// Where the POSIX lease companion's locks lie, shared by the file that opens
// companions and the one that removes abandoned ones. All are
// open-file-description locks (F_OFD_*), which lie anywhere, even past the
// end of the file, and are no writes.
#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>
#include <string>

namespace quelt::shm {

// In the companion: cell N is byte N (N < 2^32); every process that has the
// companion open holds the gate byte shared.
inline constexpr off_t kGateByte = off_t{1} << 32;
// In the region: the mark of the companion with inode I is byte kTableMarks + I.
inline constexpr off_t kTableMarks = off_t{1} << 62;

// fcntl(fd, command) for the lock `type` on [start, start + length), a length
// of 0 running to the end; retried when a signal interrupts a wait.
inline int lock_range(int fd, int command, short type, off_t start, off_t length, struct flock& lock) {
    lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    int result;
    while ((result = ::fcntl(fd, command, &lock)) != 0 && errno == EINTR) {
    }
    return result;
}

// The directory that holds the shared-memory objects, where one can be listed.
#ifdef __linux__
inline constexpr const char* kSharedMemoryDirectory = "/dev/shm";
#else
inline constexpr const char* kSharedMemoryDirectory = nullptr;
#endif

// How a companion is named to people: its path where it has one.
inline std::string shown_lease_table(const std::string& table_name) {
    return kSharedMemoryDirectory ? std::string(kSharedMemoryDirectory) + "/" + table_name : "/" + table_name;
}

}  // namespace quelt::shm
