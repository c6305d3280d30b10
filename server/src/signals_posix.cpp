#include "signals.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace quelt::server {
namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void block_stop_signals() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that goes away mid-reply must end its connection, not the server.
    signal(SIGPIPE, SIG_IGN);
}

int wait_for_stop_signal() {
    sigset_t set = stop_signals();
    int number = 0;
    while (sigwait(&set, &number) != 0) {
    }
    return number;
}

void stop_when_stdin_closes() {
    std::thread([] {
        char discard[256];
        for (;;) {
            ssize_t got = ::read(STDIN_FILENO, discard, sizeof discard);
            if (got == 0 || (got < 0 && errno != EINTR)) break;
        }
        ::kill(::getpid(), SIGTERM);
    }).detach();
}

}  // namespace quelt::server
