#include "common/system_random.hpp"

#include <random>

namespace quelt {

// mingw-w64's and MSVC's random_device draw from the system's generator (rand_s).
std::uint64_t system_random() noexcept {
    try {
        std::random_device source;
        return (std::uint64_t{source()} << 32) ^ source();
    } catch (...) {
        return 0;
    }
}

}  // namespace quelt
