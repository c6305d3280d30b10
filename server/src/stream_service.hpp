#pragma once
// The stream protocol on one connection: any number of exchanges, one after
// another, until the client closes it. Kinds 1 (one reply), 2 (chunks, then
// an end frame) and 4 (the hybrid exchange, tensors in the region).
#include "peer.hpp"
#include "served_region.hpp"
#include "server_options.hpp"

namespace quelt::server {

class StreamService {
public:
    // `region` may be null: kind 4 requests are then refused with a text.
    StreamService(const ServerOptions& options, ServedRegion* region) : options_(options), region_(region) {}

    // Runs on the connection's own thread until the connection ends.
    void serve(Peer peer) const;

private:
    const ServerOptions& options_;
    ServedRegion* region_;
};

}  // namespace quelt::server
