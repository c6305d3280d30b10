#pragma once
// The system calls under net::connect (connector_<platform>.cpp); the policy
// (which addresses, in what order, what a failure says) is connector.cpp.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "common/os_error.hpp"
#include "net/connection.hpp"
#include "net/endpoint.hpp"
#include "net/socket.hpp"

namespace quelt::net {

// A socket address as the system lays it out (a sockaddr_storage's bytes).
struct SocketAddress {
    alignas(8) std::uint8_t bytes[128];
    std::uint32_t length;
};

enum class AddressFamily { V4, V6 };

// Starts the platform's socket layer once per process (Winsock); nothing on POSIX.
quelt::expected<void, OsError> start_sockets();

// `text` as a numeric address of the family, with `port`; nullopt if it is not one.
std::optional<SocketAddress> numeric_address(AddressFamily family, const std::string& text, std::uint16_t port);

// The resolver's IPv4 and IPv6 addresses of `host`, in its order, each with
// `port`. A failure carries the system's code, or code 0 and the resolver's
// own text.
quelt::expected<std::vector<SocketAddress>, OsError> resolve(const std::string& host, std::uint16_t port);

// A new stream socket connected to `address`.
quelt::expected<Socket, OsError> open_and_connect(const SocketAddress& address);

// TCP no-delay on, best effort.
void set_no_delay(NativeSocket socket) noexcept;

// The local transport: a Pipe or Unix transport's stream.
Result<Connection> connect_local(const Transport& transport);

}  // namespace quelt::net
