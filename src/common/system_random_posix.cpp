#include "common/system_random.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "common/unique_fd.hpp"

namespace quelt {
namespace {

// Asks the kernel directly: std::random_device would bind arc4random with
// glibc 2.36 and newer, which a wheel for older systems must not need.
// Returns false when getrandom(2) is missing (kernels before 3.17) or fails.
bool from_getrandom(unsigned char* into, std::size_t size) noexcept {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(into + filled, size - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);  // a signal may cut a read short
        } else if (got < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool from_urandom(unsigned char* into, std::size_t size) noexcept {
    UniqueFd file{::open("/dev/urandom", O_RDONLY | O_CLOEXEC)};
    if (!file) return false;
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(file.get(), into + filled, size - filled);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::uint64_t system_random() noexcept {
    unsigned char bytes[sizeof(std::uint64_t)] = {};
    if (!from_getrandom(bytes, sizeof bytes) && !from_urandom(bytes, sizeof bytes)) return 0;
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

}  // namespace quelt
