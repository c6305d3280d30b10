#include "server_options.hpp"

#include <charconv>
#include <functional>
#include <map>

#include "platform_help.hpp"
#include "shm/tensor_block.hpp"

#ifndef QUELT_VERSION
#error "QUELT_VERSION comes from the build (the package version in pyproject.toml)"
#endif

namespace quelt::server {
namespace {

// A pool must hold at least one block whose tensor has one element of the
// widest type; anything smaller would start and then refuse every call.
constexpr std::uint64_t kSmallestPool = shm::tensor_block_size(8);

template <class Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<TcpAddress> parse_tcp_address(const std::string& text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    auto port = parse_number<std::uint16_t>(std::string_view(text).substr(colon + 1));
    if (!port || host.empty()) return std::nullopt;
    return TcpAddress{host, *port};
}

quelt::expected<ModelKind, std::string> parse_model_name(const std::string& flag, const std::string& name,
                                                       bool faults_only) {
    const ModelInfo* model = model_by_name(name);
    if (!model || (faults_only && !model->fault)) {
        std::string choices;
        for (const ModelInfo& info : all_models())
            if (!faults_only || info.fault) choices += (choices.empty() ? "" : ", ") + std::string(info.name);
        return quelt::unexpected(flag + ": unknown " + (faults_only ? "fault" : "model") + " '" + name +
                               "' (choose one of: " + choices + ")");
    }
    return model->kind;
}

using Setter = std::function<std::optional<std::string>(ServerOptions&, const std::string&)>;

struct Flag {
    bool takes_value;
    Setter set;
};

std::optional<std::string> bad_value(const std::string& flag, const std::string& value, const char* expected) {
    return flag + ": invalid value '" + value + "' (expected " + expected + ")";
}

const std::map<std::string, Flag, std::less<>>& flags() {
    static const std::map<std::string, Flag, std::less<>> table{
        {"--tcp", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             auto address = parse_tcp_address(v);
             if (!address) return bad_value("--tcp", v, "HOST:PORT");
             o.tcp = *address;
             return std::nullopt;
         }}},
        {"--no-tcp", {false, [](ServerOptions& o, const std::string&) -> std::optional<std::string> {
             o.tcp.reset();
             return std::nullopt;
         }}},
        {"--unix", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             if (v.empty()) return bad_value("--unix", v, "a pipe or socket path");
             o.unix_path = v;
             return std::nullopt;
         }}},
        {"--no-unix", {false, [](ServerOptions& o, const std::string&) -> std::optional<std::string> {
             o.unix_path.reset();
             return std::nullopt;
         }}},
        {"--shm-name", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             if (v.find_first_not_of('/') == std::string::npos || v.find('/', v.find_first_not_of('/')) != std::string::npos)
                 return bad_value("--shm-name", v, "a name without '/' inside it");
             o.shm_name = v;
             return std::nullopt;
         }}},
        {"--no-shm", {false, [](ServerOptions& o, const std::string&) -> std::optional<std::string> {
             o.shm_name.reset();
             return std::nullopt;
         }}},
        {"--pool-size", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             auto size = parse_byte_size(v);
             if (!size || *size == 0) return bad_value("--pool-size", v, "a positive size such as 268435456, 256M or 1G");
             if (*size < kSmallestPool)
                 return "--pool-size: " + v + " bytes cannot hold one tensor (a block needs " +
                        std::to_string(shm::kTensorBlockHeadSize) + " bytes of head and its data; at least " +
                        std::to_string(kSmallestPool) + ")";
             o.pool_size = *size;
             return std::nullopt;
         }}},
        {"--shm-size", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             auto size = parse_byte_size(v);
             if (!size || *size == 0) return bad_value("--shm-size", v, "a positive size such as 536870912, 512M or 1G");
             o.shm_size = *size;
             return std::nullopt;
         }}},
        {"--token", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             o.token = v;
             return std::nullopt;
         }}},
        {"--shm-model", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             auto kind = parse_model_name("--shm-model", v, false);
             if (!kind) return kind.error();
             o.shm_model = *kind;
             return std::nullopt;
         }}},
        {"--fault", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             auto kind = parse_model_name("--fault", v, true);
             if (!kind) return kind.error();
             o.fault = *kind;
             return std::nullopt;
         }}},
        {"--exit-on-stdin-close", {false, [](ServerOptions& o, const std::string&) -> std::optional<std::string> {
             o.exit_on_stdin_close = true;
             return std::nullopt;
         }}},
        {"--stream-chunks", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             auto count = parse_number<std::size_t>(v);
             if (!count || *count == 0 || *count > 1'000'000) return bad_value("--stream-chunks", v, "a count from 1 to 1000000");
             o.models.stream_chunks = *count;
             return std::nullopt;
         }}},
        {"--slow-ms", {true, [](ServerOptions& o, const std::string& v) -> std::optional<std::string> {
             auto ms = parse_number<std::uint32_t>(v);
             if (!ms) return bad_value("--slow-ms", v, "milliseconds");
             o.models.slow_delay = std::chrono::milliseconds(*ms);
             return std::nullopt;
         }}},
    };
    return table;
}

}  // namespace

std::optional<std::uint64_t> parse_byte_size(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::string_view digits = text;
    unsigned shift = 0;
    switch (text.back()) {
        case 'K': case 'k': shift = 10; break;
        case 'M': case 'm': shift = 20; break;
        case 'G': case 'g': shift = 30; break;
        default: break;
    }
    if (shift) digits.remove_suffix(1);
    auto value = parse_number<std::uint64_t>(digits);
    if (!value || *value > (std::uint64_t{1} << (63 - shift))) return std::nullopt;
    return *value << shift;
}

quelt::expected<CommandLine, std::string> parse_command_line(const std::vector<std::string>& arguments) {
    ServerOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-h" || argument == "--help") return CommandLine{std::nullopt, help_text()};
        if (argument == "--version") return CommandLine{std::nullopt, version_text()};
        std::string name = argument, value;
        bool inline_value = false;
        if (auto equals = argument.find('='); argument.starts_with("--") && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            inline_value = true;
        }
        auto flag = flags().find(name);
        if (flag == flags().end()) return quelt::unexpected("unknown option '" + argument + "' (see --help)");
        if (flag->second.takes_value && !inline_value) {
            if (i + 1 == arguments.size()) return quelt::unexpected(name + " needs a value (see --help)");
            value = arguments[++i];
        } else if (!flag->second.takes_value && inline_value) {
            return quelt::unexpected(name + " takes no value");
        }
        if (auto failure = flag->second.set(options, value)) return quelt::unexpected(*failure);
    }
    if (!options.tcp && !options.unix_path && !options.shm_name)
        return quelt::unexpected("nothing to serve: --no-tcp, --no-unix and --no-shm were all given");
    return CommandLine{std::move(options), {}};
}

std::string version_text() { return "quelt-refserver " QUELT_VERSION "\n"; }

std::string help_text() {
    const PlatformHelp platform = platform_help();
    std::string text = std::string("usage: quelt-refserver [options]\n\n") + platform.intro + R"(
Listening:
  --tcp HOST:PORT     TCP address (default 127.0.0.1:9096; port 0 picks a free port)
  --no-tcp            no TCP listener
)" + platform.local_listener + R"(  --token TOKEN       refuse QueltClient calls that do not carry this API token
                      (the shared-memory clients carry none: the permissions of
                      the socket file and of the region guard them)

Shared memory:
)" + platform.region_name + R"(  --no-shm            no region (QueltHybridClient calls are then refused)
  --pool-size BYTES   tensor pool size (default 256M; suffixes K, M, G)
  --shm-size BYTES    total region size instead; the pool gets what the layout leaves
  --shm-model NAME    model that serves QueltShmClient and QueltHybridClient, whose
                      calls carry no model id (default identity; any name below)

Models (model_id of QueltClient calls; name for --shm-model and --fault):
)";
    for (const ModelInfo& model : all_models()) {
        std::string line = "  " + std::to_string(model.id) + "  " + std::string(model.name);
        line.resize(16, ' ');
        text += line + std::string(model.summary) + "\n";
    }
    text += R"(  other ids     fail with "Model not loaded"
  --stream-chunks N   chunks of the stream model (default 4)
  --slow-ms MS        delay of the slow model (default 200)
  --fault NAME        break every QueltClient and QueltHybridClient reply this way
                      (truncate, reset, garbage, drop)

For QueltShmClient (--shm-model) the faults become: truncate = an output
block whose length runs past the region, garbage = a result offset outside
the region, reset and drop = no answer at all (the client times out).

Other:
  --exit-on-stdin-close  stop as on SIGTERM when standard input closes (for launchers)
  --version           print the version and exit
  -h, --help          print this text and exit

The server prints one line per listener, one for the region, then "ready".
)";
    return text;
}

}  // namespace quelt::server
