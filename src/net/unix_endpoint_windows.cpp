#include "net/unix_endpoint.hpp"

namespace quelt::net {

// The local transport here is the named pipe.
Result<Transport> parse_unix_endpoint(const std::string&) {
    return quelt::unexpected(Error::invalid_value("unix:// endpoints are only supported on Unix"));
}

}  // namespace quelt::net
