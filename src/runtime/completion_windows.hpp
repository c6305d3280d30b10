#pragma once
// An overlapped operation as the completion port sees it (Windows build
// only): the OVERLAPPED the system fills, and the handler a worker runs when
// the operation's completion packet arrives. It must stay where it is until
// that packet has been taken.
#include <windows.h>

#include "runtime/poller.hpp"

namespace quelt::runtime {

struct Completion : OVERLAPPED {
    ReadyHandler* handler = nullptr;
};

}  // namespace quelt::runtime
