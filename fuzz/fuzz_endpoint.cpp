// Endpoint resolution takes the constructor's texts verbatim from the caller.
// Input: one byte saying which of the six arguments are present, two bytes of
// port, then the present texts separated by 0 bytes. The texts come from
// Python str objects, so they are always valid UTF-8: other inputs are
// skipped.
#include <string_view>

#include "common/pipe_path.hpp"
#include "fuzz_input.hpp"
#include "net/endpoint.hpp"
#include "transport/utf8.hpp"

namespace {

constexpr std::string_view kMessagePrefixes[] = {
    "Unsupported protocol '",
    "protocol='tcp' cannot be combined with socket_path or pipe_name",
    "When endpoint is provided, do not also pass host/port",
    "tcp:// endpoint must include host:port",
    "protocol='tcp' expects endpoint as host:port or tcp://host:port",
    "protocol='socket' cannot be combined with host/port/pipe_name",
    "protocol='pipe' cannot be combined with host/port/socket_path",
    "pipe:// endpoint must include a pipe name",
    "protocol='pipe' expects a named pipe path",
    "unix:// endpoint must include a socket path",
    "unix:// endpoints are only supported on Unix",
};

bool known_message(std::string_view message) {
    for (std::string_view prefix : kMessagePrefixes)
        if (message.starts_with(prefix)) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quelt;
    fuzz::InputCursor input(data, size);
    auto present = input.take<std::uint8_t>();
    auto port = input.take<std::uint16_t>();

    net::EndpointArguments arguments;
    if (present & 1) arguments.endpoint = input.text();
    if (present & 2) arguments.protocol = input.text();
    if (present & 4) arguments.host = input.text();
    if (present & 8) arguments.port = port;
    if (present & 16) arguments.socket_path = input.text();
    if (present & 32) arguments.pipe_name = input.text();

    for (const auto* text : {&arguments.endpoint, &arguments.protocol, &arguments.host, &arguments.socket_path,
                             &arguments.pipe_name})
        if (*text && wire::validate_utf8(fuzz::as_bytes(**text))) return -1;

    auto resolved = net::resolve_transport(arguments);
    if (!resolved) {
        fuzz::require(resolved.error().kind == ErrorKind::Value, "failure kind");
        fuzz::require(known_message(resolved.error().text), "unknown message", resolved.error().text);
        return 0;
    }
    const net::Transport& transport = *resolved;
    std::string protocol = transport.protocol();
    fuzz::require(protocol == "pipe" || protocol == "tcp" || protocol == "unix", "protocol", protocol);
    fuzz::require(transport.endpoint() == protocol + "://" + transport.text, "endpoint text");
    fuzz::require(!transport.text.empty(), "empty address");
    // A pipe path always maps to some socket path.
    if (transport.kind == net::Transport::Kind::Pipe)
        fuzz::require(!pipe_socket_path(transport.text).empty(), "pipe socket path");
    return 0;
}
