#include "listeners.hpp"

#include "acceptor.hpp"
#include "common/pipe_path.hpp"
#include "listener.hpp"

namespace quelt::server {

struct Listeners::Impl {
    std::vector<Listener> listeners;
    std::vector<std::unique_ptr<Acceptor>> acceptors;
};

quelt::expected<std::unique_ptr<Listeners>, std::string> Listeners::open(const ServerOptions& options) {
    auto impl = std::make_unique<Impl>();
    impl->listeners.reserve(2);
    if (options.tcp) {
        auto listener = listen_tcp(*options.tcp);
        if (!listener) return quelt::unexpected(listener.error());
        impl->listeners.push_back(std::move(*listener));
    }
    if (options.unix_path) {
        auto listener = listen_unix(quelt::pipe_socket_path(*options.unix_path));
        if (!listener) return quelt::unexpected(listener.error());
        impl->listeners.push_back(std::move(*listener));
    }
    return std::make_unique<Listeners>(std::move(impl));
}

Listeners::Listeners(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Listeners::~Listeners() { stop_accepting(); }

std::vector<std::string> Listeners::descriptions() const {
    std::vector<std::string> lines;
    for (const Listener& listener : impl_->listeners) lines.push_back(listener.description);
    return lines;
}

void Listeners::start(const StreamService& service, ConnectionRegistry& registry) {
    for (Listener& listener : impl_->listeners)
        impl_->acceptors.push_back(std::make_unique<Acceptor>(listener, service, registry));
}

void Listeners::stop_accepting() { impl_->acceptors.clear(); }

}  // namespace quelt::server
