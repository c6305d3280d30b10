#include "net/endpoint.hpp"

#include <algorithm>
#include <string_view>

#include "net/unix_endpoint.hpp"

namespace quelt::net {
namespace {

constexpr std::string_view kPipePrefix = R"(\\.\pipe\)";

bool is_unicode_whitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Decodes the code point starting at `at`. Text from Python is valid UTF-8;
// a truncated sequence (possible only from other callers) ends at the text's
// end instead of reading past it. Returns the code point and its length.
std::pair<char32_t, size_t> decode_at(std::string_view s, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(s[at]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 1 || at + length > s.size()) return {lead, std::min(length, s.size() - at)};
    char32_t c = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) c = c << 6 | (static_cast<unsigned char>(s[at + i]) & 0x3F);
    return {c, length};
}

size_t start_of_last_code_point(std::string_view s) {
    size_t at = s.size() - 1;
    while (at > 0 && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) --at;
    return at;
}

std::optional<std::string> normalised(std::optional<std::string> value) {
    if (!value) return std::nullopt;
    std::string trimmed = trim_unicode_whitespace(*value);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string normalise_pipe_name(std::string name) {
    if (starts_with(name, kPipePrefix)) return name;
    return std::string(kPipePrefix) + name;
}

std::string lower_ascii(std::string text) {
    std::ranges::transform(text, text.begin(), [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : char(c);
    });
    return text;
}

quelt::unexpected<Error> invalid(std::string message) {
    return quelt::unexpected(Error::invalid_value(std::move(message)));
}

Result<Transport> parse_endpoint(const std::string& text) {
    if (starts_with(text, "tcp://")) {
        if (text.size() == 6) return invalid("tcp:// endpoint must include host:port");
        return Transport{Transport::Kind::Tcp, text.substr(6)};
    }
    if (starts_with(text, "unix://")) return parse_unix_endpoint(text.substr(7));
    if (starts_with(text, "pipe://")) {
        if (text.size() == 7) return invalid("pipe:// endpoint must include a pipe name");
        return Transport{Transport::Kind::Pipe, normalise_pipe_name(text.substr(7))};
    }
    return Transport{Transport::Kind::Pipe, text};
}

std::string host_port(const std::string& host, std::uint16_t port) {
    return host + ":" + std::to_string(port);
}

Result<Transport> resolve_tcp(const EndpointArguments& a) {
    if (a.socket_path || a.pipe_name)
        return invalid("protocol='tcp' cannot be combined with socket_path or pipe_name");
    if (a.endpoint) {
        if (a.host || a.port) return invalid("When endpoint is provided, do not also pass host/port");
        const std::string& endpoint = *a.endpoint;
        if (starts_with(endpoint, "tcp://")) {
            if (endpoint.size() == 6) return invalid("tcp:// endpoint must include host:port");
            return Transport{Transport::Kind::Tcp, endpoint.substr(6)};
        }
        if (endpoint.find("://") != std::string::npos)
            return invalid("protocol='tcp' expects endpoint as host:port or tcp://host:port");
        return Transport{Transport::Kind::Tcp, endpoint};
    }
    return Transport{Transport::Kind::Tcp,
                     host_port(a.host.value_or(kDefaultHost), a.port.value_or(kDefaultPort))};
}

Result<Transport> resolve_socket(const EndpointArguments& a) {
    if (a.port || a.host || a.pipe_name)
        return invalid("protocol='socket' cannot be combined with host/port/pipe_name");
    if (a.socket_path) return parse_endpoint(*a.socket_path);
    if (a.endpoint) return parse_endpoint(*a.endpoint);
    return Transport{Transport::Kind::Pipe, kDefaultPipe};
}

Result<Transport> resolve_pipe(const EndpointArguments& a) {
    if (a.port || a.host || a.socket_path)
        return invalid("protocol='pipe' cannot be combined with host/port/socket_path");
    std::string text = a.pipe_name ? *a.pipe_name : a.endpoint ? *a.endpoint : kDefaultPipe;
    if (starts_with(text, "pipe://")) {
        if (text.size() == 7) return invalid("pipe:// endpoint must include a pipe name");
        return Transport{Transport::Kind::Pipe, normalise_pipe_name(text.substr(7))};
    }
    if (starts_with(text, "tcp://") || starts_with(text, "unix://"))
        return invalid("protocol='pipe' expects a named pipe path");
    return Transport{Transport::Kind::Pipe, normalise_pipe_name(std::move(text))};
}

Result<Transport> resolve_without_protocol(const EndpointArguments& a) {
    if (a.endpoint) return parse_endpoint(*a.endpoint);
    if (a.host) return Transport{Transport::Kind::Tcp, host_port(*a.host, a.port.value_or(kDefaultPort))};
    if (a.port) return Transport{Transport::Kind::Tcp, host_port(kDefaultHost, *a.port)};
    if (a.socket_path) return parse_endpoint(*a.socket_path);
    if (a.pipe_name) return Transport{Transport::Kind::Pipe, normalise_pipe_name(*a.pipe_name)};
    return Transport{Transport::Kind::Pipe, kDefaultPipe};
}

}  // namespace

std::string trim_unicode_whitespace(const std::string& text) {
    std::string_view s = text;
    while (!s.empty()) {
        auto [c, length] = decode_at(s, 0);
        if (!is_unicode_whitespace(c)) break;
        s.remove_prefix(length);
    }
    while (!s.empty()) {
        size_t last = start_of_last_code_point(s);
        if (!is_unicode_whitespace(decode_at(s, last).first)) break;
        s.remove_suffix(s.size() - last);
    }
    return std::string(s);
}

std::string Transport::protocol() const {
    switch (kind) {
        case Kind::Pipe: return "pipe";
        case Kind::Tcp: return "tcp";
        case Kind::Unix: return "unix";
    }
    return {};
}

std::string Transport::endpoint() const { return protocol() + "://" + text; }

Result<Transport> resolve_transport(EndpointArguments arguments) {
    arguments.endpoint = normalised(std::move(arguments.endpoint));
    arguments.protocol = normalised(std::move(arguments.protocol));
    arguments.host = normalised(std::move(arguments.host));
    arguments.socket_path = normalised(std::move(arguments.socket_path));
    arguments.pipe_name = normalised(std::move(arguments.pipe_name));
    if (!arguments.protocol) return resolve_without_protocol(arguments);

    const std::string protocol = lower_ascii(*arguments.protocol);
    if (protocol == "tcp") return resolve_tcp(arguments);
    if (protocol == "socket" || protocol == "unix" || protocol == "local") return resolve_socket(arguments);
    if (protocol == "pipe" || protocol == "named_pipe" || protocol == "named-pipe")
        return resolve_pipe(arguments);
    return invalid("Unsupported protocol '" + protocol + "'. Use one of: socket, tcp, pipe");
}

}  // namespace quelt::net
