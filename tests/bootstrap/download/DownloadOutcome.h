#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "download/BootstrapDownload.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane::test {

// Starts `transfer` and waits for its one outcome: nullopt for success, else the failure.
inline std::optional<BootstrapFailure> awaitOutcome(BootstrapDownload& transfer) {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<std::exception_ptr> outcome;
    transfer.fetch([&](std::exception_ptr error) {
        const std::lock_guard lock(mutex);
        outcome = error;
        done.notify_all();
    });
    std::unique_lock lock(mutex);
    if (!done.wait_for(lock, std::chrono::minutes(1), [&] { return outcome.has_value(); }))
        throw std::runtime_error("no outcome within a minute");
    if (!*outcome)
        return std::nullopt;
    return BootstrapFailure::classify(*outcome, BootstrapFailure::installation);
}

} // namespace quorvane::test
