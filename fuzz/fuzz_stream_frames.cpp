// A stream's reply frames are read straight off the connection, one per
// __next__. The input is the whole byte stream the server sends before it
// closes; the reader must give chunks, an end or a failure, never read past
// what was sent, and stop for good at the close.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "common/unique_fd.hpp"
#include "fuzz_input.hpp"
#include "net/connection.hpp"
#include "net/inference_exchange.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quelt;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) fuzz::fail("socketpair");
    UniqueFd server(ends[0]);
    net::Connection connection{net::StreamHandle(net::Socket(ends[1]))};
    // Inputs are far smaller than a socket buffer, so one write never blocks.
    std::size_t sent = 0;
    while (sent < size) {
        ssize_t n = ::write(server.get(), data + sent, size - sent);
        if (n <= 0) fuzz::fail("write into the socket pair");
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(server.get(), SHUT_WR);

    // Each frame takes at least its 8-byte header, so the stream runs out
    // after size / 8 + 1 frames at the most.
    std::size_t frames = 0;
    for (;;) {
        fuzz::require(frames <= size / 8 + 1, "more frames than bytes");
        ++frames;
        auto step = net::next_stream_frame(connection);
        if (!step) {
            if (step.error().text == net::kFailedToFill) break;  // the close: nothing more will come
            continue;  // a server error frame or an undecodable chunk: the next frame follows
        }
        if (!*step) continue;  // an end frame; a caller that keeps asking reads on
        auto bytes = (*step)->tensor.bytes();
        if (!(*step)->tensor.from_base64) {
            auto body = (*step)->frame.span();
            fuzz::require(bytes.empty() || (bytes.data() >= body.data() && bytes.data() + bytes.size() <= body.data() + body.size()),
                          "chunk data outside its frame buffer");
        }
    }
    return 0;
}
