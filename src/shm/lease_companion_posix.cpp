// The lease companion on POSIX: the shared-memory object "/<region>.leases",
// and cells claimed with open-file-description locks (F_OFD_SETLK) on one
// byte each. Such a lock belongs to the open file description, not to a
// thread or to one descriptor, so the kernel drops it when the process's last
// descriptor of it closes, which its exit does; and unlike a classic POSIX
// record lock, closing some other descriptor of the same object in the
// process does not drop it.
//
// A child made by fork() shares the parent's open file descriptions, and so
// would hold the parent's cells for as long as it lives, hiding the parent's
// death from the others: the child closes its copies of the descriptors as
// soon as it starts.
#include "shm/lease_companion.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/unique_fd.hpp"

namespace quelt::shm {

struct LeaseCompanion::Platform {
    int fd = -1;  // -1 in a child made by fork(): the descriptor was the parent's
    void* base = nullptr;
    std::size_t size = 0;
    std::string name;
};

namespace {

// Every open companion of this process, so that a child made by fork() can
// close its inherited descriptors. The lock is held across fork() itself.
std::mutex open_companions_lock;
std::vector<LeaseCompanion::Platform*> open_companions;

void before_fork() noexcept { open_companions_lock.lock(); }
void after_fork_in_parent() noexcept { open_companions_lock.unlock(); }
void after_fork_in_child() noexcept {
    for (LeaseCompanion::Platform* companion : open_companions) {
        if (companion->fd >= 0) ::close(companion->fd);
        companion->fd = -1;
    }
    open_companions.clear();
    open_companions_lock.unlock();
}

void track(LeaseCompanion::Platform* companion) {
    static const int registered = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    (void)registered;
    std::lock_guard guard(open_companions_lock);
    open_companions.push_back(companion);
}

void untrack(LeaseCompanion::Platform* companion) noexcept {
    std::lock_guard guard(open_companions_lock);
    std::erase(open_companions, companion);
}

std::string companion_name(std::string_view region_name) { return system_object_name(region_name) + ".leases"; }

quelt::unexpected<ShmError> failure(const std::string& what, const std::string& name, int code) {
    return quelt::unexpected(ShmError::platform(what + " the slot lease table " + name + " failed, os error " +
                                                std::to_string(code)));
}

// The existing companion, or a new one made with the region's permissions
// (its creator's umask does not narrow them) and, where the kernel lets this
// process, its group.
quelt::expected<UniqueFd, ShmError> open_or_create(const std::string& name, const ObjectAccess& access) {
    const mode_t permissions = access.permissions & 0666;
    for (int attempt = 0; attempt < 8; ++attempt) {
        UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0));
        if (fd) return fd;
        if (errno != ENOENT) return failure("Opening", name, errno);
        fd = UniqueFd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, permissions));
        if (fd) {
            (void)::fchmod(fd.get(), permissions);
            (void)::fchown(fd.get(), static_cast<uid_t>(-1), static_cast<gid_t>(access.group));
            return fd;
        }
        if (errno != EEXIST) return failure("Creating", name, errno);
        // Another process made it between the two calls: open that one.
    }
    return failure("Opening", name, EAGAIN);
}

int lock_cell(int fd, std::uint32_t cell, int command, short type, struct flock& lock) {
    lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(cell);
    lock.l_len = 1;
    return ::fcntl(fd, command, &lock);
}

}  // namespace

quelt::expected<LeaseCompanion, ShmError> LeaseCompanion::open(std::string_view region_name,
                                                             const SharedMapping& region, std::uint64_t bytes) {
    const std::string name = companion_name(region_name);
    auto fd = open_or_create(name, region.access());
    if (!fd) return quelt::unexpected(std::move(fd.error()));
    // posix_fallocate, not ftruncate: it never shrinks an object that another
    // process has grown, and the pages it reserves cannot run out later (a
    // full /dev/shm fails here, not with SIGBUS on first touch).
    int reserved;
    while ((reserved = ::posix_fallocate(fd->get(), 0, static_cast<off_t>(bytes))) == EINTR) {
    }
    if (reserved != 0) return failure("Reserving " + std::to_string(bytes) + " bytes for", name, reserved);
    const auto size = static_cast<std::size_t>(bytes);
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd->get(), 0);
    if (base == MAP_FAILED) return failure("Mapping", name, errno);
    auto platform = std::make_unique<Platform>(Platform{fd->release(), base, size, name});
    track(platform.get());
    return LeaseCompanion(std::move(platform));
}

void LeaseCompanion::remove(std::string_view region_name) noexcept {
    try {
        ::shm_unlink(companion_name(region_name).c_str());
    } catch (...) {
        // The name could not be built: nothing more can be done while unwinding.
    }
}

LeaseCompanion::LeaseCompanion(std::unique_ptr<Platform> platform) noexcept : platform_(std::move(platform)) {}
LeaseCompanion::LeaseCompanion(LeaseCompanion&&) noexcept = default;

LeaseCompanion::~LeaseCompanion() {
    if (!platform_) return;
    untrack(platform_.get());
    ::munmap(platform_->base, platform_->size);
    if (platform_->fd >= 0) ::close(platform_->fd);  // drops this process's cell
}

std::span<std::byte> LeaseCompanion::bytes() const noexcept {
    return {static_cast<std::byte*>(platform_->base), platform_->size};
}

quelt::expected<bool, ShmError> LeaseCompanion::try_claim(std::uint32_t cell) {
    struct flock lock;
    if (lock_cell(platform_->fd, cell, F_OFD_SETLK, F_WRLCK, lock) == 0) return true;
    if (errno == EAGAIN || errno == EACCES) return false;
    return failure("Locking a cell of", platform_->name, errno);
}

bool LeaseCompanion::claimed_by_another(std::uint32_t cell) const noexcept {
    struct flock lock;
    if (lock_cell(platform_->fd, cell, F_OFD_GETLK, F_WRLCK, lock) != 0) return true;
    return lock.l_type != F_UNLCK;
}

std::uint64_t lease_clock_ms() noexcept {
    // CLOCK_MONOTONIC counts from boot, the same for every process.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace quelt::shm
