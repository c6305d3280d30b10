#pragma once
// Command line of quelt-refserver: what to listen on, the shared-memory
// region, the API token and the knobs of the built-in models.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "model.hpp"

namespace quelt::server {

struct TcpAddress {
    std::string host;
    std::uint16_t port;  // 0 lets the system pick a free port
};

struct ServerOptions {
    std::optional<TcpAddress> tcp = TcpAddress{"127.0.0.1", 9096};
    // A pipe path ("\\.\pipe\NAME") or a socket path; empty when disabled.
    std::optional<std::string> unix_path = R"(\\.\pipe\quelt)";
    std::optional<std::string> shm_name = "quelt_shm";
    std::uint64_t pool_size = 256ull << 20;
    // Whole region size when given; the tensor pool then gets what the layout leaves.
    std::optional<std::uint64_t> shm_size;
    std::optional<std::string> token;
    ModelSettings models;
    // Model that serves the shared-memory queue and the hybrid exchange, which carry no model id.
    ModelKind shm_model = ModelKind::Identity;
    // Breaks every socket reply this way, whatever the model id.
    std::optional<ModelKind> fault;
    // Stop when standard input reaches its end: a launcher that dies takes the server with it.
    bool exit_on_stdin_close = false;
};

// What the command line asked for: run with these options, or print a text and exit.
struct CommandLine {
    std::optional<ServerOptions> options;  // empty: print `text` to stdout and exit 0
    std::string text;
};

// Fails with a one-line message naming the offending flag.
quelt::expected<CommandLine, std::string> parse_command_line(const std::vector<std::string>& arguments);

std::string help_text();
// "quelt-refserver 0.1.0", the version of the package it ships with.
std::string version_text();

// "64M", "1G", "4096" -> bytes.
std::optional<std::uint64_t> parse_byte_size(const std::string& text);

}  // namespace quelt::server
