#pragma once
// Where the shared-memory layer sends its one informational record. The core
// writes nothing by itself: the embedding program (the Python module, the
// reference server) decides whether the record is wanted and where it goes.
#include <string_view>

namespace quelt::shm {

class InfoLog {
public:
    virtual ~InfoLog() = default;
    // Asked first, so that the text is only built when someone will read it.
    virtual bool info_enabled() = 0;
    virtual void info(std::string_view text) = 0;
};

}  // namespace quelt::shm
