// Regions on Windows: a named file mapping over a backing file. The file of
// region N is <temp>\shared_memory-rs\N without leading '/' characters; the
// mapping object is named N exactly as given, with no namespace prefix.
#include <windows.h>

#include <filesystem>
#include <utility>

#include "common/propagate.hpp"
#include "common/unique_handle_windows.hpp"
#include "common/wide_text_windows.hpp"
#include "shm/shared_mapping.hpp"

namespace quelt::shm {
namespace {

constexpr DWORD kNameTaken = ERROR_ALREADY_EXISTS;  // 183
// Opening a backing file that cannot be opened, for whatever reason, reports
// the code of a missing file.
constexpr DWORD kBackingFileMissing = ERROR_FILE_NOT_FOUND;

quelt::unexpected<Error> failure(const char* what, DWORD code) {
    return quelt::unexpected(platform_error(std::string(what) + ", os error " + std::to_string(code)));
}

quelt::unexpected<Error> unexpected_os_error(DWORD code) {
    return failure("An unexpected OS error occurred", code);
}

std::wstring temp_directory() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    return std::wstring(buffer, length > MAX_PATH ? 0 : length);
}

std::wstring backing_directory() { return (std::filesystem::path(temp_directory()) / L"shared_memory-rs").wstring(); }

// 0, or the code of a failure other than "already exists".
DWORD make_backing_directory() {
    if (::CreateDirectoryW(backing_directory().c_str(), nullptr)) return 0;
    const DWORD code = ::GetLastError();
    return code == ERROR_ALREADY_EXISTS ? 0 : code;
}

struct Mapped {
    UniqueHandle file;
    UniqueHandle section;
    void* view = nullptr;
    std::size_t size = 0;
};

// The backing file's volume and file index: the same file, the same identity.
ObjectIdentity identity_of(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information)) return {};
    return {information.dwVolumeSerialNumber,
            (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

// Maps all of `section` read-write and asks the system how large the view is.
Result<void> map_view(Mapped& mapped, const char* what) {
    mapped.view = ::MapViewOfFile(mapped.section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (mapped.view == nullptr) return failure(what, ::GetLastError());
    MEMORY_BASIC_INFORMATION region{};
    if (::VirtualQuery(mapped.view, &region, sizeof region) == 0) {
        const DWORD code = ::GetLastError();
        ::UnmapViewOfFile(mapped.view);
        return unexpected_os_error(code);
    }
    mapped.size = region.RegionSize;
    return {};
}

std::intptr_t release(UniqueHandle& handle) { return reinterpret_cast<std::intptr_t>(handle.release()); }

}  // namespace

std::wstring backing_file(std::string_view name) {
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    return (std::filesystem::path(backing_directory()) / widen(name)).wstring();
}

// The view first, then the mapping, then the file.
void SharedMapping::reset() noexcept {
    if (base_ != nullptr) ::UnmapViewOfFile(base_);
    UniqueHandle(reinterpret_cast<HANDLE>(std::exchange(section_, 0)));
    UniqueHandle(reinterpret_cast<HANDLE>(std::exchange(file_, 0)));
    base_ = nullptr;
    size_ = 0;
}

Result<SharedMapping> SharedMapping::open_existing(std::string_view name) {
    const char* opening = "Opening the shared memory failed";
    auto mapping_name = wide_name(name);
    if (!mapping_name) return failure(opening, kBackingFileMissing);
    if (DWORD code = make_backing_directory()) return unexpected_os_error(code);
    Mapped mapped;
    mapped.file.reset(::CreateFileW(backing_file(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!mapped.file) return failure(opening, kBackingFileMissing);
    // Size 0: the whole file, as large as its creator made it.
    mapped.section.reset(::CreateFileMappingW(mapped.file.get(), nullptr, PAGE_READWRITE, 0, 0, mapping_name->c_str()));
    if (!mapped.section) {
        const DWORD code = ::GetLastError();
        if (code == kNameTaken) return quelt::unexpected(platform_error("Shared memory OS specific ID already exists"));
        return failure(opening, code);
    }
    QUELT_TRY(viewed, map_view(mapped, opening));
    // Who may open the file is its access control list, which a file made
    // beside it inherits from the folder: there is nothing to carry over.
    const ObjectIdentity identity = identity_of(mapped.file.get());
    return SharedMapping(mapped.view, mapped.size, identity, ObjectAccess{}, release(mapped.file),
                         release(mapped.section));
}

Result<SharedMapping> SharedMapping::create_exclusive(std::string_view name, std::uint64_t size) {
    const char* creating = "Creating the shared memory failed";
    if (size == 0) return quelt::unexpected(platform_error("You cannot create a shared memory mapping of 0 size"));
    auto mapping_name = wide_name(name);
    if (!mapping_name) return failure(creating, ERROR_INVALID_NAME);
    if (DWORD code = make_backing_directory()) return unexpected_os_error(code);
    const std::wstring path = backing_file(name);
    Mapped mapped;
    // A file that exists already belongs to a live server, or to one that
    // died without removing it: either way it is not taken over.
    mapped.file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!mapped.file) return failure(creating, ::GetLastError());
    auto remove_file = [&] {
        mapped.file.reset();
        ::DeleteFileW(path.c_str());
    };
    // The mapping grows the new file to `size`.
    mapped.section.reset(::CreateFileMappingW(mapped.file.get(), nullptr, PAGE_READWRITE,
                                              static_cast<DWORD>(size >> 32), static_cast<DWORD>(size),
                                              mapping_name->c_str()));
    const DWORD code = ::GetLastError();
    if (!mapped.section || code == kNameTaken) {
        mapped.section.reset();
        remove_file();
        if (code == kNameTaken) return quelt::unexpected(platform_error("Shared memory OS specific ID already exists"));
        return failure(creating, code);
    }
    if (auto viewed = map_view(mapped, creating); !viewed) {
        mapped.section.reset();
        remove_file();
        return quelt::unexpected(std::move(viewed.error()));
    }
    const ObjectIdentity identity = identity_of(mapped.file.get());
    return SharedMapping(mapped.view, mapped.size, identity, ObjectAccess{}, release(mapped.file),
                         release(mapped.section));
}

// The backing file under the region's name, opened only to read its identity.
// While our handle keeps a deleted file alive, opening it usually fails with
// "access denied", which an ordinary refusal gives too: that counts as Same.
NameStanding SharedMapping::standing_of(std::string_view name) const noexcept {
    try {
        UniqueHandle file(::CreateFileW(backing_file(name).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            const DWORD code = ::GetLastError();
            const bool gone = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
                              code == ERROR_DELETE_PENDING;
            return gone ? NameStanding::Removed : NameStanding::Same;
        }
        const ObjectIdentity now = identity_of(file.get());
        if (now == ObjectIdentity{}) return NameStanding::Same;
        return now == identity_ ? NameStanding::Same : NameStanding::Replaced;
    } catch (...) {
        return NameStanding::Same;  // the path could not be built
    }
}

void SharedMapping::unlink(std::string_view name) noexcept {
    try {
        ::DeleteFileW(backing_file(name).c_str());
    } catch (...) {
        // Allocation of the path failed: nothing more can be done while unwinding.
    }
}

}  // namespace quelt::shm
