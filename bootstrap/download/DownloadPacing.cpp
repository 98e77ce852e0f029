#include "download/DownloadPacing.h"

#include <utility>

namespace quorvane {

DownloadPacing::DownloadPacing(Now now) : now_(std::move(now)), reportedAt_(now_()) {}

std::uint64_t DownloadPacing::untilMark(std::uint64_t total) const {
    // A start-over leaves `total` under the last report; the mark then counts from zero.
    const std::uint64_t base = total >= reported_ ? reported_ : 0;
    return base + bytesBetween - total;
}

bool DownloadPacing::due(std::uint64_t total) {
    if (total == reported_)
        return false;
    const bool bySize =
        total >= reported_ ? total - reported_ >= bytesBetween : total >= bytesBetween;
    const Clock::time_point at = now_();
    if (!bySize && at - reportedAt_ < timeBetween)
        return false;
    reported_ = total;
    reportedAt_ = at;
    return true;
}

bool DownloadPacing::settle(std::uint64_t total) {
    if (total == reported_)
        return false;
    reported_ = total;
    reportedAt_ = now_();
    return true;
}

} // namespace quorvane
