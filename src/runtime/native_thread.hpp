#pragma once
// The system's thread under a WorkerThread, the one platform choice of the
// runtime's threads: a pthread_t on POSIX, a HANDLE on Windows. The calls are
// worker_thread_<platform>.cpp.
#if defined(_WIN32)
#include "runtime/native_thread_windows.hpp"
#else
#include "runtime/native_thread_posix.hpp"
#endif
