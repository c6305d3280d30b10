#include "common/fresh_memory.hpp"

namespace quelt {

// Windows has no advice for memory already allocated: its large pages must
// be asked for when the memory is reserved, and only by a process holding
// the "lock pages in memory" privilege. The fill simply faults its pages in.
void prepare_fresh_fill(std::span<std::uint8_t>) noexcept {}

}  // namespace quelt
