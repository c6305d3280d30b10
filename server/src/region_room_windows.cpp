#include "region_room.hpp"

namespace quelt::server {

// The region is a mapping of an ordinary file: a disk without room for it
// makes the creation itself fail, with the system's own code.
// Growing that file (a file that is not sparse) takes its clusters at once,
// so the room is reserved when the region is made.
quelt::expected<void, std::string> check_room(const std::string&, std::uint64_t) { return {}; }

std::optional<std::string> no_room_hint(const std::string&, std::uint64_t, const Error&) { return std::nullopt; }

std::string name_taken_hint(const std::string& name, const Error& error) {
    if (error.text.find("os error 80") == std::string::npos) return {};
    return " (it exists already: another server uses it, or a crashed one left %TEMP%\\shared_memory-rs\\" +
           name.substr(name.find_first_not_of('/')) + " behind)";
}

}  // namespace quelt::server
