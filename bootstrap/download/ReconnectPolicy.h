#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace quorvane {

// When a download tries again after a connection that ended early. The count of attempts in a
// row falls back to zero whenever the tail grew beyond all it held before.
class ReconnectPolicy {
public:
    ReconnectPolicy(std::span<const std::chrono::milliseconds> waits, std::uint64_t held);

    struct Next {
        std::chrono::milliseconds wait;
        std::size_t attempt; // attempts in a row without new bytes, this one included
    };
    // The next attempt after one that ended with `held` bytes held; nullopt: give up.
    std::optional<Next> next(std::uint64_t held);

private:
    std::span<const std::chrono::milliseconds> waits_;
    std::uint64_t mostHeld_;
    std::size_t inARow_ = 0;
};

} // namespace quorvane
