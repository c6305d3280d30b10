#include "net/unix_endpoint.hpp"

namespace quelt::net {

Result<Transport> parse_unix_endpoint(const std::string& path) {
    if (path.empty())
        return quelt::unexpected(Error::invalid_value("unix:// endpoint must include a socket path"));
    return Transport{Transport::Kind::Unix, path};
}

}  // namespace quelt::net
