#pragma once
// Whether a slot lease table found beside a region may be used. Whoever can
// write the table decides which process gets which slot, so a table is used
// only if no one controls it who could not write the region anyway: it must
// be a regular file, owned by the region's owner, by root, by anyone for a
// region everyone may write, or by a member of the region's group for a
// group-writable region; and its mode must let no one write it who may not
// write the region. (POSIX only: on Windows the table lies in the user's own
// temporary directory.)
#include <cstdint>
#include <string>

#include "shm/shared_mapping.hpp"

namespace quelt::shm {

struct TableFile {
    bool regular = false;
    ObjectAccess access;  // the table's own mode, owner and group
};

// Empty if the table may be used for a region with `region`'s access, else
// why not ("its owner may not write the region", ...).
std::string distrust_of_lease_table(const TableFile& table, const ObjectAccess& region);

}  // namespace quelt::shm
