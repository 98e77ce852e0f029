#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "download/DownloadPacing.h"

namespace quorvane {

// Tells when a request has brought no new byte for `after` (by the download's clock), and when
// bytes flow again: notify(true) once the silence is that long, notify(false) at the next byte or
// when the request ends.
class SilenceWatch {
public:
    SilenceWatch(DownloadPacing::Now now, std::chrono::milliseconds after,
                 std::function<void(bool silent)> notify);

    // A request starts with `held` bytes held.
    void start(std::uint64_t held);
    // Looks again; `held` is what is held now.
    void observe(std::uint64_t held);
    // The request ended.
    void stop();

private:
    DownloadPacing::Now now_;
    std::chrono::milliseconds after_;
    std::function<void(bool)> notify_;
    std::uint64_t held_ = 0;
    DownloadPacing::Clock::time_point lastByte_;
    bool silent_ = false;
};

} // namespace quorvane
