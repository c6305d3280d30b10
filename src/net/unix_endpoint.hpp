#pragma once
// What an endpoint "unix://PATH" resolves to: the one rule of endpoint
// resolution that depends on the platform. POSIX reaches the Unix-domain
// socket at PATH; Windows has no such transport and refuses the endpoint.
#include <string>

#include "net/endpoint.hpp"

namespace quelt::net {

// `path` is the text after "unix://", possibly empty.
Result<Transport> parse_unix_endpoint(const std::string& path);

}  // namespace quelt::net
