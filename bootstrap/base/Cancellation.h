#pragma once

#include <exception>
#include <stop_token>

namespace quorvane {

// Thrown when the surrounding task was cancelled.
struct CancellationError : std::exception {
    const char* what() const noexcept override { return "The operation was cancelled."; }
};

// The check at a chunk or step boundary: throws CancellationError once `stop` is requested.
inline void throwIfCancelled(const std::stop_token& stop) {
    if (stop.stop_requested())
        throw CancellationError{};
}

} // namespace quorvane
