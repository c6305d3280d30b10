#include "net/socket_address.hpp"

namespace quelt::net {
namespace {

quelt::unexpected<Error> io_text(const char* text) {
    return quelt::unexpected(Error::io(text));
}

// Decimal digits with an optional leading '+', at most 65535.
bool parse_port(std::string_view text, std::uint16_t& port) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > UINT16_MAX) return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

Result<HostPort> split_host_port(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return io_text("invalid socket address");
    HostPort address{std::string(text.substr(0, colon)), 0};
    if (!parse_port(text.substr(colon + 1), address.port)) return io_text("invalid port value");
    return address;
}

}  // namespace quelt::net
