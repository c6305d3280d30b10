#include "net/connector.hpp"

#include <utility>

#include "common/propagate.hpp"
#include "net/connector_system.hpp"
#include "net/socket_address.hpp"

namespace quelt::net {
namespace {

quelt::unexpected<Error> failure(OsError error) { return quelt::unexpected(io_error(std::move(error))); }

// An IPv4 literal, or an IPv6 literal in brackets, needs no resolver. A host
// holding U+0000 is none: it goes to the resolver, which refuses it whole.
std::optional<SocketAddress> literal_address(const std::string& host, std::uint16_t port) {
    if (host.find('\0') != std::string::npos) return std::nullopt;
    if (auto v4 = numeric_address(AddressFamily::V4, host, port)) return v4;
    if (host.size() < 2 || host.front() != '[' || host.back() != ']') return std::nullopt;
    return numeric_address(AddressFamily::V6, host.substr(1, host.size() - 2), port);
}

Result<Connection> tcp_connection(const SocketAddress& address) {
    auto socket = open_and_connect(address);
    if (!socket) return failure(std::move(socket.error()));
    set_no_delay(socket->get());
    return Connection(StreamHandle(std::move(*socket)));
}

// Every resolved address in the resolver's order; the last one's failure if none connects.
Result<Connection> connect_tcp(const std::string& text) {
    QUELT_TRY(address, split_host_port(text));
    if (auto started = start_sockets(); !started) return failure(std::move(started.error()));
    if (auto literal = literal_address(address->host, address->port)) return tcp_connection(*literal);

    auto found = resolve(address->host, address->port);
    if (!found) return failure(std::move(found.error()));
    Result<Connection> last = quelt::unexpected(io_error("could not resolve to any addresses"));
    for (const SocketAddress& entry : *found) {
        last = tcp_connection(entry);
        if (last) break;
    }
    return last;
}

}  // namespace

Result<Connection> connect(const Transport& transport) {
    if (transport.kind == Transport::Kind::Tcp) return connect_tcp(transport.text);
    return connect_local(transport);
}

}  // namespace quelt::net
