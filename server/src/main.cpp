// quelt-refserver: the reference inference server of quelt_sdk.
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "acceptor.hpp"
#include "connection_registry.hpp"
#include "listener.hpp"
#include "net/pipe_path.hpp"
#include "served_region.hpp"
#include "server_options.hpp"
#include "shm/owned_region.hpp"
#include "shm_service.hpp"
#include "signals.hpp"
#include "stream_service.hpp"

namespace {

using namespace quelt::server;

constexpr auto kDrainPatience = std::chrono::seconds(2);
constexpr int kStartFailed = 1;
constexpr int kBadCommandLine = 2;

int fail(const std::string& message, int status = kStartFailed) {
    std::fprintf(stderr, "quelt-refserver: %s\n", message.c_str());
    return status;
}

void say(const std::string& line) { std::printf("quelt-refserver: %s\n", line.c_str()); }

std::string region_line(const ServedRegion& served, ModelKind model) {
    const auto& layout = served.region().layout();
    return "shared-memory region '" + served.region().name() + "' of " + std::to_string(served.region().size()) +
           " bytes (tensor pool of " + std::to_string(layout.tensor_pool_size) + " bytes at offset " +
           std::to_string(layout.tensor_pool_offset) + "; queue and kind 4 requests served by the " +
           std::string(model_info(model).name) + " model)";
}

std::vector<std::string> arguments_of(int argc, char** argv) { return {argv + 1, argv + argc}; }

int run(const ServerOptions& options) {
    std::vector<Listener> listeners;
    listeners.reserve(2);
    if (options.tcp) {
        auto listener = listen_tcp(*options.tcp);
        if (!listener) return fail(listener.error());
        listeners.push_back(std::move(*listener));
    }
    if (options.unix_path) {
        auto listener = listen_unix(quelt::net::pipe_socket_path(*options.unix_path));
        if (!listener) return fail(listener.error());
        listeners.push_back(std::move(*listener));
    }
    std::optional<ServedRegion> region;
    if (options.shm_name) {
        auto created = ServedRegion::create(*options.shm_name, options.pool_size, options.shm_size);
        if (!created) return fail(created.error());
        region.emplace(std::move(*created));
    }

    for (const Listener& listener : listeners) say("listening on " + listener.description);
    if (region) say(region_line(*region, options.shm_model));
    if (options.token) say("API token required for kind 1 and 2 requests");
    if (options.fault) say("every socket reply is broken by the " + std::string(model_info(*options.fault).name) + " fault");

    StreamService service(options, region ? &*region : nullptr);
    ConnectionRegistry registry;
    std::vector<std::unique_ptr<Acceptor>> acceptors;
    for (Listener& listener : listeners) acceptors.push_back(std::make_unique<Acceptor>(listener, service, registry));
    std::optional<ShmService> queue_service;
    if (region) queue_service.emplace(options, *region);
    if (options.exit_on_stdin_close) stop_when_stdin_closes();
    say("ready");

    const int signal_number = wait_for_stop_signal();
    say(std::string("stopping on ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
    acceptors.clear();
    queue_service.reset();
    registry.shutdown_all(kDrainPatience);
    if (!registry.idle()) {
        // A connection thread is still inside a model: leave the mapping in
        // place for it and only remove the names before leaving.
        if (region) quelt::shm::OwnedRegion::remove_names(region->region().name());
        listeners.clear();
        std::fflush(stdout);
        ::_exit(0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    block_stop_signals();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    auto command_line = parse_command_line(arguments_of(argc, argv));
    if (!command_line) return fail(command_line.error(), kBadCommandLine);
    if (!command_line->options) {
        std::fputs(command_line->text.c_str(), stdout);
        return 0;
    }
    return run(*command_line->options);
}
