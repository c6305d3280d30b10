#pragma once
// Failure of the shared-memory layer. The text is what the clients put into
// the exception they raise.
#include <cstdint>
#include <string>

namespace quelt::shm {

struct ShmError {
    enum class Kind : std::uint8_t {
        Platform,         // the mapping layer failed; `detail` is its message
        InvalidMagic,
        VersionMismatch,
        QueueFull,
        InvalidRegion,    // an offset or length read from the region points outside it
        Replaced,         // the name now shows another region; `detail` is the name
        Removed,          // no region has the name any more; `detail` is the name
    };

    Kind kind;
    std::string detail;

    static ShmError platform(std::string message) { return {Kind::Platform, std::move(message)}; }
    static ShmError invalid_region(std::string message) { return {Kind::InvalidRegion, std::move(message)}; }
    static ShmError queue_full() { return {Kind::QueueFull, {}}; }

    std::string text() const {
        switch (kind) {
            case Kind::Platform: return "Shared memory error: " + detail;
            case Kind::InvalidMagic: return "Invalid magic number in shared memory";
            case Kind::VersionMismatch: return "Shared memory version mismatch";
            case Kind::QueueFull: return "Queue is full";
            case Kind::InvalidRegion: return "Invalid shared memory region: " + detail;
            case Kind::Replaced:
                return "The shared-memory region '" + detail + "' was replaced (the server restarted): create a new client";
            case Kind::Removed:
                return "The shared-memory region '" + detail + "' was removed (the server stopped): create a new client "
                       "once the server runs again";
        }
        return detail;
    }
};

}  // namespace quelt::shm
