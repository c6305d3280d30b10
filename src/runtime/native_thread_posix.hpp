#pragma once
// The thread type of the POSIX build (see runtime/native_thread.hpp).
#include <pthread.h>

namespace quelt::runtime {

using NativeThread = pthread_t;

}  // namespace quelt::runtime
