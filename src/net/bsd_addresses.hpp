#pragma once
// Socket addresses through the BSD calls that POSIX and Winsock share
// (inet_pton, sockaddr_in/in6, the resolver's entry list): written once for
// the two connector twins, each of which includes it after its own system
// headers.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "net/connector_system.hpp"

namespace quelt::net::bsd {

static_assert(sizeof(sockaddr_storage) <= sizeof(SocketAddress::bytes));

inline SocketAddress socket_address(const void* address, std::size_t length) {
    SocketAddress out{};
    std::memcpy(out.bytes, address, length);
    out.length = static_cast<std::uint32_t>(length);
    return out;
}

inline std::optional<SocketAddress> numeric_address(AddressFamily family, const std::string& text,
                                                    std::uint16_t port) {
    if (family == AddressFamily::V4) {
        sockaddr_in v4{};
        if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) != 1) return std::nullopt;
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        return socket_address(&v4, sizeof v4);
    }
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) != 1) return std::nullopt;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    return socket_address(&v6, sizeof v6);
}

// The IPv4 and IPv6 entries of a resolver's list (addrinfo, ADDRINFOW), in its order, each with `port`.
template <class Entry>
std::vector<SocketAddress> ip_addresses(Entry* list, std::uint16_t port) {
    std::vector<SocketAddress> addresses;
    for (Entry* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_port = htons(port);
        else if (entry->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_port = htons(port);
        else
            continue;
        addresses.push_back(socket_address(entry->ai_addr, entry->ai_addrlen));
    }
    return addresses;
}

}  // namespace quelt::net::bsd
