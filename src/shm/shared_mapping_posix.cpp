#include "shm/shared_mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/unique_fd.hpp"

namespace quelt::shm {
namespace {

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up_to_pages(std::uint64_t length) {
    const std::size_t page = page_size();
    return static_cast<std::size_t>((length + page - 1) / page * page);
}

quelt::unexpected<Error> os_failure(const char* what, int code) {
    return quelt::unexpected(platform_error(std::string(what) + ", os error " + std::to_string(code)));
}

// A NUL would end the C string early and name another, shorter object:
// such a name is invalid, as the system reports any other invalid name.
bool names_one_object(std::string_view name) { return name.find('\0') == std::string_view::npos; }

ObjectIdentity identity_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

ObjectAccess access_of(const struct stat& status) {
    return {static_cast<std::uint32_t>(status.st_mode & 07777), static_cast<std::uint32_t>(status.st_gid),
            static_cast<std::uint32_t>(status.st_uid)};
}

// posix_fallocate reports its failure as its result, not in errno.
int reserve(int fd, std::size_t length) {
    int result;
    do {
        result = ::posix_fallocate(fd, 0, static_cast<off_t>(length));
    } while (result == EINTR);
    // A file system that cannot reserve at all leaves the region as it was before.
    return result == EOPNOTSUPP || result == ENOSYS ? 0 : result;
}

}  // namespace

std::string system_object_name(std::string_view name) {
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    return "/" + std::string(name);
}

void SharedMapping::reset() noexcept {
    if (base_ != nullptr) ::munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
}

Result<SharedMapping> SharedMapping::open_existing(std::string_view name) {
    if (!names_one_object(name)) return os_failure("Opening the shared memory failed", EINVAL);
    const std::string object = system_object_name(name);
    UniqueFd fd(::shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (!fd) return os_failure("Opening the shared memory failed", errno);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return os_failure("An unexpected OS error occurred", errno);
    // An empty object cannot be mapped; mmap reports EINVAL for it.
    const std::size_t size = round_up_to_pages(static_cast<std::uint64_t>(status.st_size));
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) return os_failure("Opening the shared memory failed", size == 0 ? EINVAL : errno);
    // The mapping keeps the object alive; the descriptor is no longer needed.
    return SharedMapping(base, size, identity_of(status), access_of(status));
}

Result<SharedMapping> SharedMapping::create_exclusive(std::string_view name, std::uint64_t size) {
    if (size == 0) return quelt::unexpected(platform_error("You cannot create a shared memory mapping of 0 size"));
    if (!names_one_object(name)) return os_failure("Creating the shared memory failed", EINVAL);
    const std::string object = system_object_name(name);
    UniqueFd fd(::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) return os_failure("Creating the shared memory failed", errno);
    const std::size_t mapped = round_up_to_pages(size);
    // The memory is reserved now, not when a page is first touched: when
    // /dev/shm fills up later, other writers get ENOSPC instead of a client
    // of this region dying of SIGBUS in the middle of a call.
    const int reserved = reserve(fd.get(), mapped);
    if (reserved != 0 || ::ftruncate(fd.get(), static_cast<off_t>(mapped)) != 0) {
        const int code = reserved != 0 ? reserved : errno;
        ::shm_unlink(object.c_str());
        return os_failure("Creating the shared memory failed", code);
    }
    void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) {
        const int code = errno;
        ::shm_unlink(object.c_str());
        return os_failure("Creating the shared memory failed", code);
    }
    struct stat status {};
    (void)::fstat(fd.get(), &status);  // what it could not tell stays zero
    return SharedMapping(base, mapped, identity_of(status), access_of(status));
}

NameStanding SharedMapping::standing_of(std::string_view name) const noexcept {
    if (!names_one_object(name)) return NameStanding::Same;
    try {
        UniqueFd fd(::shm_open(system_object_name(name).c_str(), O_RDONLY | O_CLOEXEC, 0));
        if (!fd) return errno == ENOENT ? NameStanding::Removed : NameStanding::Same;
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) return NameStanding::Same;
        return identity_of(status) == identity_ ? NameStanding::Same : NameStanding::Replaced;
    } catch (...) {
        return NameStanding::Same;  // the name could not be built
    }
}

void SharedMapping::unlink(std::string_view name) noexcept {
    if (!names_one_object(name)) return;
    try {
        ::shm_unlink(system_object_name(name).c_str());
    } catch (...) {
        // Allocation of the name failed: nothing more can be done while unwinding.
    }
}

}  // namespace quelt::shm
