#pragma once
// The shared-memory layer's one informational record, sent to Python's
// logging under the logger "quelt_shm::memory" when that logger is enabled
// for INFO. The library installs no handler, so by default nothing is shown.
#include "shm/info_log.hpp"

namespace quelt::py {

// Must be used with the interpreter lock held.
shm::InfoLog& shm_memory_log();

}  // namespace quelt::py
