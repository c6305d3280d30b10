#pragma once
// A named shared-memory object mapped read-write into this process. The
// platform-specific part of the region lives behind this small interface
// (shared_mapping_posix.cpp: a POSIX shared-memory object;
// shared_mapping_windows.cpp: a named file mapping backed by a file in the
// temporary directory's "shared_memory-rs"); the layout code above it is
// portable.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/expected.hpp"
#include "shm/shm_error.hpp"

namespace quelt::shm {

// Which shared-memory object a mapping shows: two mappings of one object have
// equal identities, and an object made anew under an old name has another.
struct ObjectIdentity {
    std::uint64_t device = 0;
    std::uint64_t object = 0;
    friend auto operator<=>(const ObjectIdentity&, const ObjectIdentity&) = default;
};

// What a region's name shows now, compared with the object a mapping shows.
enum class NameStanding {
    Same,      // the mapped object, or the platform cannot tell
    Replaced,  // another object: its creator made a new one under the name
    Removed,   // no object has the name any more
};

// Who may open the object, as the platform says it (POSIX: permission bits,
// owner and group), so that an object made beside it can be opened by the
// same users, and one found beside it trusted only if they made it.
struct ObjectAccess {
    std::uint32_t permissions = 0;
    std::uint32_t group = 0;
    std::uint32_t owner = 0;
};

class SharedMapping {
public:
    SharedMapping() = default;
    SharedMapping(SharedMapping&& other) noexcept;
    SharedMapping& operator=(SharedMapping&& other) noexcept;
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;
    ~SharedMapping();

    // Opens an object that already exists; never creates, resizes or unlinks it.
    // The whole object is mapped, its length rounded up to whole pages.
    static Result<SharedMapping> open_existing(std::string_view name);
    // Creates a new object of `size` bytes (fails if the name is taken) and maps it.
    static Result<SharedMapping> create_exclusive(std::string_view name, std::uint64_t size);
    // Removes the name (Windows: the backing file); mappings that exist stay
    // valid until they are unmapped.
    static void unlink(std::string_view name) noexcept;

    std::byte* data() const noexcept { return static_cast<std::byte*>(base_); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::byte> bytes() const noexcept { return {data(), size_}; }
    const ObjectIdentity& identity() const noexcept { return identity_; }
    const ObjectAccess& access() const noexcept { return access_; }
    // Looks the name up again (a few system calls). Anything that keeps the
    // answer from being known for certain counts as Same.
    NameStanding standing_of(std::string_view name) const noexcept;

private:
    SharedMapping(void* base, std::size_t size, ObjectIdentity identity, ObjectAccess access,
                  std::intptr_t file = 0, std::intptr_t section = 0) noexcept
        : base_(base), size_(size), identity_(identity), access_(access), file_(file), section_(section) {}
    void reset() noexcept;

    void* base_ = nullptr;
    std::size_t size_ = 0;
    ObjectIdentity identity_;
    ObjectAccess access_;
    // Windows: the backing file's and the mapping's handles, kept until the
    // view is unmapped. POSIX keeps none (the mapping holds the object).
    std::intptr_t file_ = 0;
    std::intptr_t section_ = 0;
};

// POSIX: the system-wide name of region `name`, "/" followed by the name
// without its leading "/" characters.
std::string system_object_name(std::string_view name);
// Windows: the path of region `name`'s backing file, in the temporary
// directory's "shared_memory-rs", named without its leading "/" characters.
std::wstring backing_file(std::string_view name);

}  // namespace quelt::shm
