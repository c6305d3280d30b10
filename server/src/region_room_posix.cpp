#include "region_room.hpp"

#include <sys/statvfs.h>

namespace quelt::server {
namespace {

constexpr const char* kSharedMemoryDirectory = "/dev/shm";

}  // namespace

// A region larger than the room left in /dev/shm is created without
// complaint, but touching its pages later kills the toucher (SIGBUS): refuse
// it up front instead, while that can still be said clearly.
quelt::expected<void, std::string> check_room(const std::string& name, std::uint64_t size) {
    struct statvfs room;
    if (::statvfs(kSharedMemoryDirectory, &room) != 0) return {};  // nothing known, nothing refused
    const std::uint64_t available = std::uint64_t{room.f_bavail} * room.f_frsize;
    if (available >= size) return {};
    return quelt::unexpected("cannot create the shared-memory region '" + name + "': it needs " +
                           std::to_string(size) + " bytes but " + kSharedMemoryDirectory + " has " +
                           std::to_string(available) + " bytes free (use a smaller --pool-size)");
}

std::string name_taken_hint(const std::string& name, const shm::ShmError& error) {
    if (error.detail.find("os error 17") == std::string::npos) return {};
    return " (it exists already: another server uses it, or a crashed one left /dev/shm/" +
           name.substr(name.find_first_not_of('/')) + " behind)";
}

}  // namespace quelt::server
