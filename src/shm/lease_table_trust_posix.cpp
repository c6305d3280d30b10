#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "shm/lease_table_trust.hpp"

namespace quelt::shm {
namespace {

// True if user `user` is a member of group `group`, by its primary group or
// the group database. A user the databases do not know is a member of none.
bool member_of(std::uint32_t user, std::uint32_t group) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> text(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(static_cast<uid_t>(user), &entry, text.data(), text.size(), &found) == ERANGE)
        text.resize(text.size() * 2);
    if (found == nullptr) return false;
    if (found->pw_gid == static_cast<gid_t>(group)) return true;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) > groups.size() ? static_cast<std::size_t>(count)
                                                                       : groups.size() * 2);
        count = static_cast<int>(groups.size());
    }
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == static_cast<gid_t>(group)) return true;
    return false;
}

bool may_write_region(std::uint32_t user, const ObjectAccess& region) {
    if (user == region.owner || user == 0 || (region.permissions & S_IWOTH) != 0) return true;
    return (region.permissions & S_IWGRP) != 0 && member_of(user, region.group);
}

// Everyone who may write the table may write the region: the owner is asked
// about separately; the group's and the others' write bits are checked here.
bool writers_within_region(const ObjectAccess& table, const ObjectAccess& region) {
    const bool everyone_writes_region = (region.permissions & S_IWOTH) != 0;
    if ((table.permissions & S_IWOTH) != 0 && !everyone_writes_region) return false;
    if ((table.permissions & S_IWGRP) != 0 && !everyone_writes_region &&
        !((region.permissions & S_IWGRP) != 0 && table.group == region.group))
        return false;
    return true;
}

}  // namespace

std::string distrust_of_lease_table(const TableFile& table, const ObjectAccess& region) {
    if (!table.regular) return "it is not a regular file";
    if (!may_write_region(table.access.owner, region)) return "its owner may not write the region";
    if (!writers_within_region(table.access, region)) return "its mode lets users write it who may not write the region";
    return {};
}

}  // namespace quelt::shm
