#pragma once

// Awaiting work that completes elsewhere: a callback-driven operation on another thread, or a
// blocking function on the background pool. The awaiting task resumes on the main thread.

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

#include "BackgroundPool.h"
#include "MainThread.h"
#include "Task.h"

namespace quorvane::async {

// The one outcome of an operation: a value or an error. Delivering it more than once is ignored.
template <class T> class Completion {
public:
    void resolve(T value) {
        deliver([&] { value_.emplace(std::move(value)); });
    }
    void fail(std::exception_ptr error) {
        deliver([&] { error_ = std::move(error); });
    }

private:
    template <class, class, class> friend struct CompletionAwaiter;
    template <class Set> void deliver(Set set) {
        std::coroutine_handle<> resume;
        {
            std::lock_guard lock(mutex_);
            if (delivered_)
                return;
            delivered_ = true;
            set();
            resume = waiter_;
        }
        if (resume)
            postToMainThread([resume] { resume.resume(); });
    }
    // Returns false when the outcome is already there and the waiter need not suspend.
    bool park(std::coroutine_handle<> h) {
        std::lock_guard lock(mutex_);
        if (delivered_)
            return false;
        waiter_ = h;
        return true;
    }
    T take() {
        if (error_)
            std::rethrow_exception(error_);
        return std::move(*value_);
    }

    std::mutex mutex_;
    bool delivered_ = false;
    std::coroutine_handle<> waiter_;
    std::optional<T> value_;
    std::exception_ptr error_;
};

struct Nothing {};

// Awaiter for `awaitCompletion`: starts the operation, calls `cancel` when the awaiting task is
// cancelled while it waits, and resumes the task on the main thread with the outcome.
template <class T, class Start, class Cancel> struct CompletionAwaiter {
    CompletionAwaiter(Start s, Cancel c) : start(std::move(s)), cancel(std::move(c)) {}
    Start start;
    Cancel cancel;
    std::shared_ptr<Completion<T>> completion = std::make_shared<Completion<T>>();
    std::optional<std::stop_callback<std::function<void()>>> onStop;

    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> h) {
        const std::stop_token token = static_cast<detail::PromiseBase&>(h.promise()).stopToken;
        start(completion, token);
        // Parking before registering the hook keeps a synchronous cancel from racing the park.
        if (!completion->park(h))
            return false;
        onStop.emplace(token, std::function<void()>(cancel));
        return true;
    }
    T await_resume() {
        onStop.reset();
        return completion->take();
    }
};

// Starts `start(completion, stopToken)` and waits for the completion; `cancel()` is called on
// the main thread if the awaiting task is cancelled before the outcome arrives.
template <class T, class Start, class Cancel> auto awaitCompletion(Start start, Cancel cancel) {
    return CompletionAwaiter<T, Start, Cancel>(std::move(start), std::move(cancel));
}

template <class R, class Start> struct BackgroundAwaiter {
    using Stored = std::conditional_t<std::is_void_v<R>, Nothing, R>;
    CompletionAwaiter<Stored, Start, void (*)()> inner;
    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> h) {
        return inner.await_suspend(h);
    }
    R await_resume() {
        if constexpr (std::is_void_v<R>)
            inner.await_resume();
        else
            return inner.await_resume();
    }
};

// Runs `work(stopToken)` on the low-priority background pool with the awaiting task's stop
// token, and resumes the task on the main thread with the work's result or its exception,
// unchanged. A cancelled caller still waits for the work to return.
template <class Work> auto runInBackground(Work work) {
    using R = std::invoke_result_t<Work&, std::stop_token>;
    using Stored = std::conditional_t<std::is_void_v<R>, Nothing, R>;
    auto start = [work = std::move(work)](std::shared_ptr<Completion<Stored>> completion,
                                          std::stop_token token) mutable {
        detail::submitToBackgroundPool(
            [work = std::move(work), completion = std::move(completion), token]() mutable {
                try {
                    if constexpr (std::is_void_v<R>) {
                        work(token);
                        completion->resolve(Nothing{});
                    } else {
                        completion->resolve(work(token));
                    }
                } catch (...) {
                    completion->fail(std::current_exception());
                }
            });
    };
    // The stop token reaches the work directly; nothing else needs doing on cancel.
    using Inner = CompletionAwaiter<std::conditional_t<std::is_void_v<R>, Nothing, R>,
                                    decltype(start), void (*)()>;
    return BackgroundAwaiter<R, decltype(start)>{Inner(
        std::move(start), +[] {})};
}

} // namespace quorvane::async
