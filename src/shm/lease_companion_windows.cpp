// The lease companion on Windows: the file "<name>.leases" beside the
// region's backing file in the temporary directory's "shared_memory-rs",
// mapped without a name, and cells claimed with LockFileEx on one byte each.
// Windows drops a process's file locks when the process ends, however it
// ends, as it closes the process's handles. The locked bytes lie far past
// the mapped ones (a lock may lie beyond the end of a file), so that no lock
// ever covers bytes that other processes read and write.
#include <windows.h>

#include <string>

#include "common/unique_handle_windows.hpp"
#include "shm/lease_companion.hpp"
#include "shm/lease_table_name.hpp"
#include "shm/shared_mapping.hpp"

namespace quelt::shm {

struct LeaseCompanion::Platform {
    UniqueHandle file;
    UniqueHandle section;
    void* base = nullptr;
    std::size_t size = 0;
    std::string name;
};

namespace {

constexpr std::uint64_t kFirstCellByte = std::uint64_t{1} << 40;

std::wstring companion_path(std::string_view region_name) { return backing_file(lease_table_name(region_name)); }

quelt::unexpected<Error> failure(const std::string& what, const std::string& name, DWORD code) {
    return quelt::unexpected(platform_error(what + " the slot lease table " + name + " failed, os error " +
                                                std::to_string(code)));
}

OVERLAPPED cell_place(std::uint32_t cell) {
    OVERLAPPED place{};
    const std::uint64_t at = kFirstCellByte + cell;
    place.Offset = static_cast<DWORD>(at);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    return place;
}

// 0 if the cell was free and is now locked through `file`, else the code.
DWORD lock_cell(HANDLE file, std::uint32_t cell) {
    OVERLAPPED place = cell_place(cell);
    if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place)) return 0;
    return ::GetLastError();
}

}  // namespace

Result<LeaseCompanion> LeaseCompanion::open(std::string_view region_name, const SharedMapping&,
                                                             std::uint64_t bytes) {
    auto platform = std::make_unique<Platform>();
    platform->name = lease_table_name(region_name);
    if (region_name.find('\0') != std::string_view::npos) return failure("Opening", platform->name, ERROR_INVALID_NAME);
    // The existing companion, or a new one: one call, so no two processes
    // can both make it.
    platform->file.reset(::CreateFileW(companion_path(region_name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!platform->file) return failure("Opening", platform->name, ::GetLastError());
    // Never shorter than another process made it; new bytes read as zero,
    // and the mapping below reserves them on disk, so touching them cannot fail.
    LARGE_INTEGER current{};
    if (!::GetFileSizeEx(platform->file.get(), &current))
        return failure("Opening", platform->name, ::GetLastError());
    const std::uint64_t size = std::max<std::uint64_t>(bytes, static_cast<std::uint64_t>(current.QuadPart));
    platform->section.reset(::CreateFileMappingW(platform->file.get(), nullptr, PAGE_READWRITE,
                                                 static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr));
    if (!platform->section)
        return failure("Reserving " + std::to_string(bytes) + " bytes for", platform->name, ::GetLastError());
    platform->base = ::MapViewOfFile(platform->section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                     static_cast<SIZE_T>(bytes));
    if (platform->base == nullptr) return failure("Mapping", platform->name, ::GetLastError());
    platform->size = static_cast<std::size_t>(bytes);
    return LeaseCompanion(std::move(platform));
}

void LeaseCompanion::remove(std::string_view region_name) noexcept {
    try {
        ::DeleteFileW(companion_path(region_name).c_str());
    } catch (...) {
        // The path could not be built: nothing more can be done while unwinding.
    }
}

// The backing files lie in the user's own temporary directory, where other
// users put nothing: abandoned companions are left to whoever clears it.
void LeaseCompanion::remove_abandoned(std::span<const std::uint64_t>) noexcept {}

LeaseCompanion::LeaseCompanion(std::unique_ptr<Platform> platform) noexcept : platform_(std::move(platform)) {}
LeaseCompanion::LeaseCompanion(LeaseCompanion&&) noexcept = default;

// Closing the file drops this process's cell.
LeaseCompanion::~LeaseCompanion() {
    if (platform_ && platform_->base != nullptr) ::UnmapViewOfFile(platform_->base);
}

std::span<std::byte> LeaseCompanion::bytes() const noexcept {
    return {static_cast<std::byte*>(platform_->base), platform_->size};
}

Result<bool> LeaseCompanion::try_claim(std::uint32_t cell) {
    const DWORD code = lock_cell(platform_->file.get(), cell);
    if (code == 0) return true;
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return false;
    return failure("Locking a cell of", platform_->name, code);
}

// Windows cannot ask who holds a lock: it tries to take the cell and, when
// that works, gives it straight back.
bool LeaseCompanion::claimed_by_another(std::uint32_t cell) const noexcept {
    if (lock_cell(platform_->file.get(), cell) != 0) return true;
    OVERLAPPED place = cell_place(cell);
    ::UnlockFileEx(platform_->file.get(), 0, 1, 0, &place);
    return false;
}

}  // namespace quelt::shm
