#pragma once
// Which process this is, cheaply: a number that changes in every child made
// by fork(). Objects that own threads remember it, because their threads do
// not exist in a child. Reading it is one atomic load, where getpid() is a
// system call on every use.
#include <cstdint>

namespace quelt::runtime {

std::uint64_t process_generation() noexcept;

}  // namespace quelt::runtime
