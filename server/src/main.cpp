// quelt-refserver: the reference inference server of quelt_sdk.
#include <csignal>
#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connection_registry.hpp"
#include "listeners.hpp"
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

// Flushed at once: where stdout is a pipe, Windows buffers even "line-buffered" output.
void say(const std::string& line) {
    std::printf("quelt-refserver: %s\n", line.c_str());
    std::fflush(stdout);
}

std::string region_line(const ServedRegion& served, ModelKind model) {
    const auto& layout = served.region().layout();
    return "shared-memory region '" + served.region().name() + "' of " + std::to_string(served.region().size()) +
           " bytes (tensor pool of " + std::to_string(layout.tensor_pool_size) + " bytes at offset " +
           std::to_string(layout.tensor_pool_offset) + "; QueltShmClient and QueltHybridClient calls served by the " +
           std::string(model_info(model).name) + " model)";
}

std::vector<std::string> arguments_of(int argc, char** argv) { return {argv + 1, argv + argc}; }

int run(const ServerOptions& options) {
    auto listeners = Listeners::open(options);
    if (!listeners) return fail(listeners.error());
    std::optional<ServedRegion> region;
    if (options.shm_name) {
        auto created = ServedRegion::create(*options.shm_name, options.pool_size, options.shm_size);
        if (!created) return fail(created.error());
        region.emplace(std::move(*created));
    }

    for (const std::string& listener : (*listeners)->descriptions()) say("listening on " + listener);
    if (region) say(region_line(*region, options.shm_model));
    if (options.token) say("API token required for QueltClient calls");
    if (options.fault) say("every socket reply is broken by the " + std::string(model_info(*options.fault).name) + " fault");

    StreamService service(options, region ? &*region : nullptr);
    ConnectionRegistry registry;
    (*listeners)->start(service, registry);
    std::optional<ShmService> queue_service;
    if (region) queue_service.emplace(options, *region);
    if (options.exit_on_stdin_close) stop_when_stdin_closes();
    say("ready");

    const int signal_number = wait_for_stop_signal();
    say(std::string("stopping on ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
    (*listeners)->stop_accepting();
    queue_service.reset();
    registry.shutdown_all(kDrainPatience);
    if (!registry.idle()) {
        // A connection thread is still inside a model: leave the mapping in
        // place for it and only remove the names before leaving.
        if (region) quelt::shm::OwnedRegion::remove_names(region->region().name());
        listeners->reset();
        std::fflush(stdout);
        std::_Exit(0);
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
