// Removing the companions of regions that are gone. A server that ends
// without removing its region's companion (killed, or one that does not know
// of them) leaves it in /dev/shm for ever; each is tens of KiB. A client that
// opens a region removes those it may remove and that no process holds.
//
// Race-free enough never to split the users of a live region: a companion
// is removed only while this process holds its whole lock range (every cell
// and the gate) exclusively, which no user of it can share; a process that
// opens it meanwhile waits for the gate and then finds it unlinked, and makes
// a new one. The name is unlinked only if it still names the file locked.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/unique_fd.hpp"
#include "shm/lease_companion.hpp"
#include "shm/lease_companion_locks_posix.hpp"
#include "shm/lease_table_name.hpp"

namespace quelt::shm {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

std::vector<std::string> listing(int directory) {
    std::vector<std::string> names;
    const int copy = ::dup(directory);  // closedir closes it
    if (copy < 0) return names;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
    if (!dir) {
        ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(dir.get())) names.emplace_back(entry->d_name);
    return names;
}

bool ends_with(const std::string& text, std::string_view tail) {
    return text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool exists(int directory, const std::string& name) {
    struct stat status {};
    return ::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

// Removes companion `name` if it is one, no process holds it, and the region
// `region` it is named after has not come back.
void remove_if_abandoned(int directory, const std::string& name, const std::string& region,
                         std::span<const std::uint64_t> marks) {
    UniqueFd fd(::openat(directory, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    std::uint64_t mark = 0;
    if (::pread(fd.get(), &mark, sizeof mark, 0) != sizeof mark) return;
    if (std::find(marks.begin(), marks.end(), mark) == marks.end()) return;
    struct flock lock;
    if (lock_range(fd.get(), F_OFD_SETLK, F_WRLCK, 0, kGateByte + 1, lock) != 0) return;  // in use
    if (exists(directory, region)) return;
    struct stat named {};
    if (::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_ino != status.st_ino ||
        named.st_dev != status.st_dev)
        return;
    (void)::unlinkat(directory, name.c_str(), 0);
}

}  // namespace

void LeaseCompanion::remove_abandoned(std::span<const std::uint64_t> format_marks) noexcept {
    if (kSharedMemoryDirectory == nullptr) return;
    try {
        UniqueFd directory(::open(kSharedMemoryDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory) return;
        const std::vector<std::string> names = listing(directory.get());
        const std::unordered_set<std::string> present(names.begin(), names.end());
        // Regions whose companions have derived names, by those names.
        std::unordered_set<std::string> derived_present;
        for (const std::string& name : names)
            if (name.size() + kLeaseTableSuffix.size() > kLongestFileName)
                derived_present.insert(lease_table_name(name));
        for (const std::string& name : names) {
            if (!ends_with(name, kLeaseTableSuffix)) continue;
            // A name of the longest length may also be derived from a longer region's.
            const std::string region = name.substr(0, name.size() - kLeaseTableSuffix.size());
            if (present.contains(region) || derived_present.contains(name)) continue;
            remove_if_abandoned(directory.get(), name, region, format_marks);
        }
    } catch (...) {
        // Out of memory while listing: the companions stay for a later client.
    }
}

}  // namespace quelt::shm
