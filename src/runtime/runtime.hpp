#pragma once
// The hybrid client's I/O runtime: worker threads that wait for descriptor
// readiness, and block_on, which drives one operation to completion on the
// calling thread. The operation runs on the caller; a worker only notices
// readiness and wakes the caller, which then retries its system call.
#include <memory>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "runtime/poller.hpp"
#include "runtime/task.hpp"
#include "runtime/thread_parker.hpp"
#include "runtime/worker_thread.hpp"

namespace quelt::runtime {

// One worker per processor the process may use, at least one.
unsigned default_worker_count() noexcept;

class Runtime {
public:
    // Failure: a system error, its text "<system text> (os error N)".
    static Result<std::unique_ptr<Runtime>> create(unsigned workers = default_worker_count());
    // Stops and joins every worker. Descriptors registered with the poller
    // must have been removed before. In a process forked from the creator the
    // workers and the poller belong to the parent: nothing is stopped there,
    // only this process's descriptors are closed.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    Poller& poller() noexcept { return poller_; }
    // False in a process forked from the one that built the runtime: its
    // workers do not exist here, and the poller is still the parent's.
    bool usable_here() const noexcept { return !poller_.inherited(); }
    unsigned worker_count() const noexcept { return static_cast<unsigned>(workers_.size()); }

    // Runs the task on this thread; sleeps whenever it waits for I/O or a lock.
    template <class T>
    T block_on(Task<T> task) {
        ThreadParker parker;
        DriverScope scope(&parker);
        task.handle().resume();
        while (!task.done()) parker.park().resume();
        return task.take_result();
    }

    // Only create() builds runtimes; the key keeps the constructor private to it.
    class Key {
        friend class Runtime;
        Key() = default;
    };
    Runtime(Key, Poller poller);

private:
    void stop() noexcept;

    Poller poller_;
    std::vector<WorkerThread> workers_;
};

}  // namespace quelt::runtime
