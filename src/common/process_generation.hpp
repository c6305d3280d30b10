#pragma once
// Which process this is, cheaply: a number that changes in every child made
// by fork(). Objects that own threads, connections or pool slots remember
// it: a child has none of the parent's threads, and a connection or slot it
// inherited is still the parent's, in use by the parent. Reading it is one
// atomic load, where getpid() is a system call on every use.
#include <cstdint>

namespace quelt {

std::uint64_t process_generation() noexcept;

}  // namespace quelt
