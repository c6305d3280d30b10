#pragma once
// Failures of the shared-memory layer: Errors of the SharedMemory domain,
// raised as RuntimeError unless a caller says otherwise (a constructor that
// cannot use its region fails as a ConnectionError). The texts are what the
// clients show.
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace quelt::shm {

// The mapping layer failed; `message` is its own text.
inline Error platform_error(const std::string& message) { return Error::shared_memory("Shared memory error: " + message); }
// An offset or length read from the region points outside it.
inline Error invalid_region(const std::string& message) {
    return Error::shared_memory("Invalid shared memory region: " + message);
}
inline Error invalid_magic() { return Error::shared_memory("Invalid magic number in shared memory"); }
inline Error version_mismatch() { return Error::shared_memory("Shared memory version mismatch"); }
// A producer may wait and try again: this text tells the failure apart.
inline constexpr std::string_view kQueueFull = "Queue is full";
inline Error queue_full() { return Error::shared_memory(std::string(kQueueFull)); }
// No answer came in time.
inline Error request_timed_out() { return Error::shared_memory("Request timed out").as(ErrorKind::Timeout); }
// The name now shows another region.
inline Error region_replaced(const std::string& name) {
    return Error::shared_memory("The shared-memory region '" + name +
                                "' was replaced (the server restarted): create a new client");
}
// No region has the name any more.
inline Error region_removed(const std::string& name) {
    return Error::shared_memory("The shared-memory region '" + name +
                                "' was removed (the server stopped): create a new client once the server runs again");
}

}  // namespace quelt::shm
