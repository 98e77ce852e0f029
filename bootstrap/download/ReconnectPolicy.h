#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace quorvane {

// When a download tries again after a connection that ended early. A drop is usually one reset:
// after a connection that brought new bytes (the tail grew beyond all it held before) the next
// attempt starts at once and the count starts again; the waits come only between attempts in a
// row that brought none, and after the last wait's attempt the download gives up.
class ReconnectPolicy {
public:
    ReconnectPolicy(std::span<const std::chrono::milliseconds> waits, std::uint64_t held);

    struct Next {
        std::chrono::milliseconds wait; // zero: at once
        std::size_t attempt; // attempts in a row without new bytes, this one included; 0: at once
    };
    // The next attempt after one that ended with `held` bytes held; nullopt: give up.
    std::optional<Next> next(std::uint64_t held);

private:
    std::span<const std::chrono::milliseconds> waits_;
    std::uint64_t mostHeld_;
    std::size_t inARow_ = 0;
};

} // namespace quorvane
