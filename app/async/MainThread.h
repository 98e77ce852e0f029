#pragma once

#include <functional>

namespace quorvane::async {

// Runs `fn` on the main thread in a later turn of its event loop. Callable from any thread.
void postToMainThread(std::function<void()> fn);

} // namespace quorvane::async
