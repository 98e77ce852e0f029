#pragma once

// A small coroutine task for the Qt main thread. A Task is lazy: it starts when it is awaited
// (inheriting the awaiting task's stop token) or when spawned as a root task with TaskHandle.
// Every await in this folder resumes its caller on the main thread.

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

#include "base/Cancellation.h"

namespace quorvane::async {

using quorvane::CancellationError;

namespace detail {

struct RootState;

struct PromiseBase {
    std::stop_token stopToken;
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
    std::shared_ptr<RootState> root; // set only for a spawned root task

    std::suspend_always initial_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

struct RootState {
    std::stop_source stop;
    bool done = false;
};

struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> h) noexcept {
        PromiseBase& p = h.promise();
        if (p.root) {
            // A root task owns its own frame; nothing awaits it.
            p.root->done = true;
            h.destroy();
            return std::noop_coroutine();
        }
        return p.continuation ? p.continuation : std::noop_coroutine();
    }
    void await_resume() const noexcept {}
};

template <class T> struct Promise;

template <class T> struct TaskAwaiter {
    std::coroutine_handle<Promise<T>> child;
    bool await_ready() const noexcept { return false; }
    template <class ParentPromise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<ParentPromise> parent) {
        child.promise().stopToken = parent.promise().stopToken;
        child.promise().continuation = parent;
        return child;
    }
    T await_resume() { return child.promise().take(); }
};

struct CancellationCheck {
    bool cancelled = false;
    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> h) noexcept {
        cancelled = static_cast<PromiseBase&>(h.promise()).stopToken.stop_requested();
        return false;
    }
    void await_resume() const {
        if (cancelled)
            throw CancellationError{};
    }
};

} // namespace detail

template <class T = void> class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise<T>;

    explicit Task(std::coroutine_handle<promise_type> h) noexcept : handle_(h) {}
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    // Awaiting a task starts it with the awaiting task's stop token.
    auto operator co_await() && noexcept { return detail::TaskAwaiter<T>{handle_}; }

    std::coroutine_handle<promise_type> release() noexcept { return std::exchange(handle_, {}); }

private:
    void reset() {
        if (handle_)
            handle_.destroy();
        handle_ = {};
    }
    std::coroutine_handle<promise_type> handle_;
};

namespace detail {

template <class T> struct Promise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object() {
        return Task<T>{std::coroutine_handle<Promise>::from_promise(*this)};
    }
    FinalAwaiter final_suspend() noexcept { return {}; }
    template <class U> void return_value(U&& v) { value.emplace(std::forward<U>(v)); }
    T take() {
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <> struct Promise<void> : PromiseBase {
    Task<void> get_return_object() {
        return Task<void>{std::coroutine_handle<Promise>::from_promise(*this)};
    }
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void take() {
        if (error)
            std::rethrow_exception(error);
    }
};

// Reads the awaiting task's promise without suspending it.
template <class Result, class Read> struct PromiseReader {
    Read read;
    Result result{};
    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> h) {
        result = read(static_cast<PromiseBase&>(h.promise()));
        return false;
    }
    Result await_resume() { return std::move(result); }
};

} // namespace detail

// `co_await currentStopToken()`: the stop token of the running task.
inline auto currentStopToken() {
    auto read = [](detail::PromiseBase& p) { return p.stopToken; };
    return detail::PromiseReader<std::stop_token, decltype(read)>{read};
}

// `co_await checkCancellation()`: throws CancellationError when the running task was cancelled.
inline detail::CancellationCheck checkCancellation() {
    return {};
}

// Handle of a spawned root task. Dropping the handle neither cancels nor destroys the task: the
// task owns its frame and frees it when it ends.
class TaskHandle {
public:
    TaskHandle() = default;

    // Starts `task` as a root task. Its body begins in a later turn of the main thread's event
    // loop, never inside this call. An error escaping the root task is dropped.
    static TaskHandle spawn(Task<void> task);

    void cancel() const noexcept {
        if (state_)
            state_->stop.request_stop();
    }
    bool isCancelled() const noexcept { return state_ && state_->stop.stop_requested(); }
    bool isDone() const noexcept { return !state_ || state_->done; }
    bool valid() const noexcept { return state_ != nullptr; }

private:
    std::shared_ptr<detail::RootState> state_;
};

} // namespace quorvane::async
