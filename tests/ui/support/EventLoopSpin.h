#pragma once

#include <chrono>

#include "EventLoop.h"

namespace quorvane::test {

// Turns the event loop for `span`, whatever happens.
inline void spinFor(std::chrono::milliseconds span) {
    spinUntil([] { return false; }, span);
}

} // namespace quorvane::test
