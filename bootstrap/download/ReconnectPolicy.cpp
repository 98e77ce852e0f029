#include "download/ReconnectPolicy.h"

namespace quorvane {

ReconnectPolicy::ReconnectPolicy(std::span<const std::chrono::milliseconds> waits,
                                 std::uint64_t held)
    : waits_(waits), mostHeld_(held) {}

std::optional<ReconnectPolicy::Next> ReconnectPolicy::next(std::uint64_t held) {
    if (held > mostHeld_) {
        mostHeld_ = held;
        inARow_ = 0;
        return Next{std::chrono::milliseconds(0), 0};
    }
    if (inARow_ == waits_.size())
        return std::nullopt;
    const auto wait = waits_[inARow_++];
    return Next{wait, inARow_};
}

} // namespace quorvane
