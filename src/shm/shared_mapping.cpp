#include "shm/shared_mapping.hpp"

#include <utility>

namespace quelt::shm {

// Mapping and unmapping are the platform's (shared_mapping_posix.cpp,
// shared_mapping_windows.cpp, each with its reset()); handing a mapping on is
// the same everywhere.
SharedMapping::SharedMapping(SharedMapping&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      identity_(other.identity_),
      access_(other.access_),
      file_(std::exchange(other.file_, 0)),
      section_(std::exchange(other.section_, 0)) {}

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
    if (this != &other) {
        reset();
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
        identity_ = other.identity_;
        access_ = other.access_;
        file_ = std::exchange(other.file_, 0);
        section_ = std::exchange(other.section_, 0);
    }
    return *this;
}

SharedMapping::~SharedMapping() { reset(); }

}  // namespace quelt::shm
