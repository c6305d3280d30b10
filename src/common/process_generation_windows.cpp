#include "common/process_generation.hpp"

namespace quelt {

// Windows has no fork(): a process never inherits another's threads,
// connections or slots, so the generation never changes.
std::uint64_t process_generation() noexcept { return 0; }

}  // namespace quelt
