#pragma once
// Task<T>: a lazily started coroutine that yields one T. Awaiting a task
// starts it and resumes the awaiting coroutine when it finishes (symmetric
// transfer, so a chain of tasks never grows the stack). The outermost task
// is driven by Runtime::block_on.
#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace quelt::runtime {

template <class T>
class Task {
public:
    struct promise_type {
        std::optional<T> value;
        std::exception_ptr failure;
        std::coroutine_handle<> continuation = std::noop_coroutine();

        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        auto final_suspend() noexcept {
            struct Resumer {
                bool await_ready() noexcept { return false; }
                std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> done) noexcept {
                    return done.promise().continuation;
                }
                void await_resume() noexcept {}
            };
            return Resumer{};
        }
        template <class U>
        void return_value(U&& result) {
            value.emplace(std::forward<U>(result));
        }
        void unhandled_exception() noexcept { failure = std::current_exception(); }
    };

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&&) = delete;
    Task(const Task&) = delete;
    ~Task() {
        if (handle_) handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume() { return take_result(); }

    // For the driver: the coroutine to start, and its result once done().
    std::coroutine_handle<> handle() const noexcept { return handle_; }
    bool done() const noexcept { return handle_.done(); }
    T take_result() {
        auto& promise = handle_.promise();
        if (promise.failure) std::rethrow_exception(promise.failure);
        return std::move(*promise.value);
    }

private:
    explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

}  // namespace quelt::runtime
