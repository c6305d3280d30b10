#pragma once
// "host:port" as a TCP address: split at the last colon; "[v6]:port" names an
// IPv6 literal. No colon is "invalid socket address"; a port that is not a
// 16-bit unsigned number is "invalid port value".
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace quelt::net {

struct HostPort {
    std::string host;  // as written, brackets included
    std::uint16_t port;
};

Result<HostPort> split_host_port(std::string_view text);

}  // namespace quelt::net
