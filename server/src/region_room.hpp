#pragma once
// What the server says about where its region lives (region_room_posix.cpp:
// /dev/shm; region_room_windows.cpp: the backing file in the temporary
// directory).
#include <cstdint>
#include <optional>
#include <string>

#include "common/expected.hpp"
#include "shm/shm_error.hpp"

namespace quelt::server {

// Refuses a region the system has no room for, while that can still be said
// clearly, rather than failing later when its pages are touched.
quelt::expected<void, std::string> check_room(const std::string& name, std::uint64_t size);

// The whole message for a creation that failed for want of room (the
// system's "no space" code), the same as check_room's; none for any other failure.
std::optional<std::string> no_room_hint(const std::string& name, std::uint64_t size, const Error& error);

// Added to the text of a failed creation when the name was taken already;
// empty for any other failure.
std::string name_taken_hint(const std::string& name, const Error& error);

}  // namespace quelt::server
