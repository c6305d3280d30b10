#include "runtime/process_generation.hpp"

namespace quelt::runtime {

// Windows has no fork(): a process never inherits another's objects, so the
// generation never changes.
std::uint64_t process_generation() noexcept { return 0; }

}  // namespace quelt::runtime
