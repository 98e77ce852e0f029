#include "download/SilenceWatch.h"

#include <utility>

namespace quorvane {

SilenceWatch::SilenceWatch(DownloadPacing::Now now, std::chrono::milliseconds after,
                           std::function<void(bool silent)> notify)
    : now_(std::move(now)), after_(after), notify_(std::move(notify)) {}

void SilenceWatch::start(std::uint64_t held) {
    held_ = held;
    lastByte_ = now_();
}

void SilenceWatch::observe(std::uint64_t held) {
    const auto at = now_();
    if (held != held_) {
        held_ = held;
        lastByte_ = at;
        if (silent_) {
            silent_ = false;
            notify_(false);
        }
    } else if (!silent_ && at - lastByte_ >= after_) {
        silent_ = true;
        notify_(true);
    }
}

void SilenceWatch::stop() {
    if (silent_) {
        silent_ = false;
        notify_(false);
    }
}

} // namespace quorvane
