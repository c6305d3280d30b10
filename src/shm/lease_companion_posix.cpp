// The lease companion on POSIX: the shared-memory object named by
// lease_table_name() beside the region, and cells claimed with
// open-file-description locks (F_OFD_SETLK) on one byte each. Such a lock
// belongs to the open file description, not to a thread or to one descriptor,
// so the kernel drops it when the process's last descriptor of it closes,
// which its exit does; and unlike a classic POSIX record lock, closing some
// other descriptor of the same object in the process does not drop it.
//
// Every process that has the companion open also holds a shared lock on its
// gate byte (far past the cells): a process that removes an abandoned
// companion first takes the gate exclusively, so it never removes one in use,
// and one who opens it meanwhile waits for the gate and then finds it
// unlinked.
//
// One region object, one companion: each process marks the region object
// itself with a shared lock on the byte that stands for its companion's inode
// (the companion must lie on the region's file system), and refuses the
// companion if another byte there is locked. A region file bind-mounted alone
// into a container with a /dev/shm of its own would otherwise get a second
// companion there, and the host's and the container's processes would lease
// the same slots. Locks are no writes: the region's bytes stay the server's.
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
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/propagate.hpp"
#include "common/unique_fd.hpp"
#include "shm/lease_companion_locks_posix.hpp"
#include "shm/lease_table_name.hpp"
#include "shm/lease_table_trust.hpp"

namespace quelt::shm {

struct LeaseCompanion::Platform {
    int fd = -1;         // -1 in a child made by fork(): the descriptor was the parent's
    int region_fd = -1;  // holds this process's mark on the region object
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
        if (companion->region_fd >= 0) ::close(companion->region_fd);
        companion->fd = companion->region_fd = -1;
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

// How many times a companion that another process is just making (not yet
// given its owner and mode) is looked at again, and how long apart.
constexpr int kAttempts = 100;
constexpr timespec kPause{0, 2'000'000};

quelt::unexpected<Error> failure(const std::string& what, const std::string& shown, int code) {
    return quelt::unexpected(platform_error(what + " the slot lease table " + shown + " failed, os error " +
                                                std::to_string(code)));
}

std::string octal(std::uint32_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

quelt::unexpected<Error> distrusted(const std::string& shown, const std::string& region_name,
                                       const struct stat& table, const std::string& why) {
    return quelt::unexpected(platform_error(
        "refusing the slot lease table " + shown + " of region '" + region_name + "' (owner uid " +
        std::to_string(table.st_uid) + ", mode " + octal(table.st_mode) + "): " + why +
        ", so another user could make two calls lease the same slot; remove the file and connect again"));
}

quelt::unexpected<Error> not_shared(const std::string& shown, const std::string& region_name,
                                       const std::string& why) {
    return quelt::unexpected(platform_error(
        "the slot lease table " + shown + " is not the one that the other users of region '" + region_name +
        "' share (" + why + "); processes that use one region must see one /dev/shm: share the whole /dev/shm, "
        "or bind-mount the region together with its table " + shown));
}

// A table this process may not open: who owns it, and what to do.
quelt::unexpected<Error> not_ours(const std::string& shown, int code) {
    struct stat status {};
    if (kSharedMemoryDirectory == nullptr || ::stat(shown.c_str(), &status) != 0) return failure("Opening", shown, code);
    return quelt::unexpected(platform_error(
        "Opening the slot lease table " + shown + " failed, os error " + std::to_string(code) + " (owner uid " +
        std::to_string(status.st_uid) + ", mode " + octal(status.st_mode) +
        "): remove the file if no process uses the region, or connect as a user it lets in"));
}

struct OpenedTable {
    UniqueFd fd;
    bool created = false;
    struct stat status {};
};

// The existing companion, or a new one; errno tells why not. A new one is
// made readable by no one else until its owner, group and mode are those its
// region asks for: the region's owner and group where this process may give
// them, and read-write for exactly the classes that may write the region.
quelt::expected<OpenedTable, int> open_or_create(const std::string& object, const ObjectAccess& region) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        UniqueFd fd(::shm_open(object.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0));
        if (fd) return OpenedTable{std::move(fd), false};
        if (errno != ENOENT) return quelt::unexpected(errno);
        fd = UniqueFd(::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd) {
            if (::geteuid() == 0) (void)::fchown(fd.get(), region.owner, region.group);
            else (void)::fchown(fd.get(), static_cast<uid_t>(-1), region.group);
            struct stat made {};
            mode_t mode = 0600;
            if (::fstat(fd.get(), &made) == 0 && made.st_gid == region.group && (region.permissions & S_IWGRP))
                mode |= 0060;
            if (region.permissions & S_IWOTH) mode |= 0006;
            (void)::fchmod(fd.get(), mode);
            return OpenedTable{std::move(fd), true};
        }
        if (errno != EEXIST) return quelt::unexpected(errno);
        // Another process made it between the two calls: open that one.
    }
    return quelt::unexpected(EAGAIN);
}

// The companion to use: trusted, on the region's file system, and still
// linked once this process holds its gate.
Result<OpenedTable> open_trusted(const std::string& object, const std::string& shown,
                                                    const std::string& region_name, const SharedMapping& region) {
    quelt::unexpected<Error> last = failure("Opening", shown, EAGAIN);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) ::nanosleep(&kPause, nullptr);
        auto table = open_or_create(object, region.access());
        if (!table) {
            last = failure("Opening", shown, table.error());
            if (table.error() != EACCES) return last;
            last = not_ours(shown, table.error());
            continue;  // perhaps being made: it opens once its mode is set
        }
        if (::fstat(table->fd.get(), &table->status) != 0) return failure("Opening", shown, errno);
        const TableFile file{S_ISREG(table->status.st_mode),
                             {static_cast<std::uint32_t>(table->status.st_mode & 07777),
                              static_cast<std::uint32_t>(table->status.st_gid),
                              static_cast<std::uint32_t>(table->status.st_uid)}};
        if (const std::string why = distrust_of_lease_table(file, region.access()); !why.empty()) {
            last = distrusted(shown, region_name, table->status, why);
            continue;  // perhaps being made: its owner and mode are set next
        }
        if (static_cast<std::uint64_t>(table->status.st_dev) != region.identity().device) {
            if (table->created) ::shm_unlink(object.c_str());
            return not_shared(shown, region_name, "it lies on another file system than the region");
        }
        // Not waiting for it: a remover holds it only for a moment, unless it
        // was stopped right then; this then fails instead of hanging.
        struct flock lock;
        if (lock_range(table->fd.get(), F_OFD_SETLK, F_RDLCK, kGateByte, 1, lock) != 0) {
            const int code = errno;
            last = failure("Locking", shown, code);
            if (code == EAGAIN || code == EACCES) continue;
            return last;
        }
        struct stat now {};
        if (::fstat(table->fd.get(), &now) != 0) return failure("Opening", shown, errno);
        if (now.st_nlink != 0) return std::move(*table);
        // Removed as abandoned while this process waited for the gate: make a new one.
    }
    return last;
}

// This process's mark on the region object for companion `table`, held by
// the returned descriptor; refused if a mark of another companion is there.
Result<UniqueFd> mark_region(const OpenedTable& table, const std::string& shown,
                                                const std::string& region_name, const SharedMapping& region) {
    UniqueFd fd(::shm_open(system_object_name(region_name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0) return failure("Marking the region of", shown, errno);
    if (static_cast<std::uint64_t>(status.st_dev) != region.identity().device ||
        static_cast<std::uint64_t>(status.st_ino) != region.identity().object)
        return quelt::unexpected(platform_error("region '" + region_name +
                                                    "' was replaced while it was being opened; connect again"));
    const off_t mine = kTableMarks + static_cast<off_t>(static_cast<std::uint64_t>(table.status.st_ino) &
                                                        static_cast<std::uint64_t>(kTableMarks - 1));
    struct flock lock;
    if (lock_range(fd.get(), F_OFD_SETLK, F_RDLCK, mine, 1, lock) != 0)
        return failure("Marking the region of", shown, errno);
    // Any other mark, before or after this one (a length of 0 runs to the end).
    const bool before = mine > kTableMarks && lock_range(fd.get(), F_OFD_GETLK, F_WRLCK, kTableMarks,
                                                         mine - kTableMarks, lock) == 0 && lock.l_type != F_UNLCK;
    const bool after = lock_range(fd.get(), F_OFD_GETLK, F_WRLCK, mine + 1, 0, lock) == 0 && lock.l_type != F_UNLCK;
    if (before || after)
        return not_shared(shown, region_name,
                          "the region is in use with another table: it was opened by another name or from another "
                          "/dev/shm");
    return fd;
}

}  // namespace

Result<LeaseCompanion> LeaseCompanion::open(std::string_view region_name,
                                                             const SharedMapping& region, std::uint64_t bytes) {
    const std::string table_name = lease_table_name(region_name);
    const std::string object = "/" + table_name;
    const std::string shown = shown_lease_table(table_name);
    const std::string region_text(region_name);
    QUELT_TRY(table, open_trusted(object, shown, region_text, region));
    auto marked = mark_region(*table, shown, region_text, region);
    if (!marked) {
        if (table->created) ::shm_unlink(object.c_str());
        return quelt::unexpected(std::move(marked.error()));
    }
    // posix_fallocate, not ftruncate: it never shrinks an object that another
    // process has grown, and the pages it reserves cannot run out later (a
    // full /dev/shm fails here, not with SIGBUS on first touch).
    const int fd = table->fd.get();
    int reserved;
    while ((reserved = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes))) == EINTR) {
    }
    if (reserved != 0) return failure("Reserving " + std::to_string(bytes) + " bytes for", shown, reserved);
    const auto size = static_cast<std::size_t>(bytes);
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return failure("Mapping", shown, errno);
    auto platform = std::make_unique<Platform>(Platform{table->fd.release(), marked->release(), base, size, shown});
    track(platform.get());
    return LeaseCompanion(std::move(platform));
}

void LeaseCompanion::remove(std::string_view region_name) noexcept {
    try {
        ::shm_unlink(("/" + lease_table_name(region_name)).c_str());
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
    if (platform_->fd >= 0) ::close(platform_->fd);  // drops this process's cell and gate
    if (platform_->region_fd >= 0) ::close(platform_->region_fd);
}

std::span<std::byte> LeaseCompanion::bytes() const noexcept {
    return {static_cast<std::byte*>(platform_->base), platform_->size};
}

Result<bool> LeaseCompanion::try_claim(std::uint32_t cell) {
    struct flock lock;
    if (lock_range(platform_->fd, F_OFD_SETLK, F_WRLCK, static_cast<off_t>(cell), 1, lock) == 0) return true;
    if (errno == EAGAIN || errno == EACCES) return false;
    return failure("Locking a cell of", platform_->name, errno);
}

bool LeaseCompanion::claimed_by_another(std::uint32_t cell) const noexcept {
    struct flock lock;
    if (lock_range(platform_->fd, F_OFD_GETLK, F_WRLCK, static_cast<off_t>(cell), 1, lock) != 0) return true;
    return lock.l_type != F_UNLCK;
}

}  // namespace quelt::shm
