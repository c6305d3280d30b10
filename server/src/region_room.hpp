#pragma once
// What the server says about where its region lives (region_room_posix.cpp:
// /dev/shm; region_room_windows.cpp: the backing file in the temporary
// directory).
#include <cstdint>
#include <string>

#include "common/expected.hpp"
#include "shm/shm_error.hpp"

namespace quelt::server {

// Refuses a region the system has no room for, while that can still be said
// clearly, rather than failing later when its pages are touched.
quelt::expected<void, std::string> check_room(const std::string& name, std::uint64_t size);

// Added to the text of a failed creation when the name was taken already;
// empty for any other failure.
std::string name_taken_hint(const std::string& name, const shm::ShmError& error);

}  // namespace quelt::server
