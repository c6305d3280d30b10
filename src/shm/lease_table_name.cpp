#include "shm/lease_table_name.hpp"

#include <cstdint>
#include <cstdio>

namespace quelt::shm {
namespace {

// 64-bit FNV-1a: small, and the same in every process and on every platform.
std::uint64_t name_hash(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

std::string lease_table_name(std::string_view region_name) {
    while (!region_name.empty() && region_name.front() == '/') region_name.remove_prefix(1);
    if (region_name.size() + kLeaseTableSuffix.size() <= kLongestFileName)
        return std::string(region_name) + std::string(kLeaseTableSuffix);
    constexpr std::size_t kHashText = 1 + 16;  // "~" and the hex digits
    char hash[kHashText + 1];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(name_hash(region_name)));
    const std::size_t kept = kLongestFileName - kHashText - kLeaseTableSuffix.size();
    return std::string(region_name.substr(0, kept)) + hash + std::string(kLeaseTableSuffix);
}

}  // namespace quelt::shm
