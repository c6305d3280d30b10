#include "region_room.hpp"

#include <sys/statvfs.h>

#include <cerrno>
#include <optional>

namespace quelt::server {
namespace {

constexpr const char* kSharedMemoryDirectory = "/dev/shm";

std::optional<std::uint64_t> room_left() {
    struct statvfs room;
    if (::statvfs(kSharedMemoryDirectory, &room) != 0) return std::nullopt;
    return std::uint64_t{room.f_bavail} * room.f_frsize;
}

std::string no_room_text(const std::string& name, std::uint64_t size, std::uint64_t available) {
    return "cannot create the shared-memory region '" + name + "': it needs " + std::to_string(size) + " bytes but " +
           kSharedMemoryDirectory + " has " + std::to_string(available) + " bytes free (use a smaller --pool-size)";
}

}  // namespace

// A region larger than the room left in /dev/shm is refused up front, while
// that can still be said clearly. The creation reserves the region's memory
// as well, which also catches a room that shrank in the meantime.
quelt::expected<void, std::string> check_room(const std::string& name, std::uint64_t size) {
    const auto available = room_left();
    if (!available || *available >= size) return {};  // nothing known, nothing refused
    return quelt::unexpected(no_room_text(name, size, *available));
}

std::optional<std::string> no_room_hint(const std::string& name, std::uint64_t size, const Error& error) {
    if (error.text.find("os error " + std::to_string(ENOSPC)) == std::string::npos) return std::nullopt;
    return no_room_text(name, size, room_left().value_or(0));
}

std::string name_taken_hint(const std::string& name, const Error& error) {
    if (error.text.find("os error 17") == std::string::npos) return {};
    return " (it exists already: another server uses it, or a crashed one left /dev/shm/" +
           name.substr(name.find_first_not_of('/')) + " behind)";
}

}  // namespace quelt::server
