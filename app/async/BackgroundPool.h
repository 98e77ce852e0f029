#pragma once

#include <chrono>
#include <functional>

namespace quorvane::async {

// Waits up to `limit` for the background work to end, then ends the pool's idle threads: no
// thread of the pool may outlive the application object, whose teardown it would race. False
// when work was still running at the limit. The pool takes work again afterwards.
bool finishBackgroundWork(std::chrono::milliseconds limit);

namespace detail {
void submitToBackgroundPool(std::function<void()> job);
}

} // namespace quorvane::async
