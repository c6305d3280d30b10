#pragma once
// Request numbers of the shared-memory clients: consecutive per client
// object, from a random 64-bit start. Two objects, in one process or in
// several, then practically never use one number while both live, so a late
// answer (to a call that timed out) is never taken for another object's, and
// clients in several processes never wait for the same number.
#include <cstdint>

#include "common/random_bits.hpp"

namespace quelt::shm {

inline std::uint64_t first_request_number() noexcept { return random_bits(); }

}  // namespace quelt::shm
