#pragma once
// The name of a region's slot lease table, which lies beside the region:
// "<region>.leases", or, where that would be longer than a file name may be
// (a region name of 249 characters or more), the region name's first 231
// bytes, "~", the 16 hex digits of a hash of the whole name and ".leases".
// Every process derives the same name from the same region name.
#include <cstddef>
#include <string>
#include <string_view>

namespace quelt::shm {

inline constexpr std::size_t kLongestFileName = 255;
inline constexpr std::string_view kLeaseTableSuffix = ".leases";

// `region_name` without its leading '/' characters; the result has none either.
std::string lease_table_name(std::string_view region_name);

}  // namespace quelt::shm
