#pragma once
// Turns the loose constructor arguments of QueltClient into the one address
// the client talks to for its whole life.
#include <cstdint>
#include <optional>
#include <string>

#include "common/error.hpp"

namespace quelt::net {

inline constexpr const char* kDefaultPipe = R"(\\.\pipe\quelt)";
inline constexpr const char* kDefaultHost = "127.0.0.1";
inline constexpr std::uint16_t kDefaultPort = 9096;

struct Transport {
    enum class Kind { Pipe = 0, Tcp = 1, Unix = 2 };
    Kind kind;
    // Pipe: the pipe path; Tcp: "host:port"; Unix: the socket's path.
    std::string text;

    std::string protocol() const;
    std::string endpoint() const;
};

struct EndpointArguments {
    std::optional<std::string> endpoint;
    std::optional<std::string> protocol;
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    std::optional<std::string> socket_path;
    std::optional<std::string> pipe_name;
};

Result<Transport> resolve_transport(EndpointArguments arguments);

// Strips Unicode white space from both ends of UTF-8 text.
std::string trim_unicode_whitespace(const std::string& text);

}  // namespace quelt::net
