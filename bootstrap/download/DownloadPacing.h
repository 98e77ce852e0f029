#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace quorvane {

// Decides when the download tells how far it got: once at least `bytesBetween` arrived since
// the last report, or once `timeBetween` passed and something new arrived. The first rule keeps
// the bar moving on a fast link with a bounded number of reports (one per MiB, whatever the
// rate); the second keeps it moving on a slow link (at most ten reports a second).
class DownloadPacing {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    static constexpr std::uint64_t bytesBetween = 1 << 20;
    static constexpr std::chrono::milliseconds timeBetween{100};

    explicit DownloadPacing(Now now);

    // Takes `length` new bytes after `total` held: write(n) for each part, report(total) when
    // one is due. A piece that crosses the size mark is taken in two parts, so that the report
    // falls on the mark exactly. Returns the new total.
    template <typename Write, typename Report>
    std::uint64_t take(std::uint64_t total, std::uint64_t length, Write&& write, Report&& report) {
        while (length > 0) {
            const std::uint64_t n = length < untilMark(total) ? length : untilMark(total);
            write(n);
            total += n;
            length -= n;
            if (due(total))
                report(total);
        }
        return total;
    }
    // `total` bytes are held now; true when a report is due (and counts it as made).
    bool due(std::uint64_t total);
    // The total is known to be final, or was reported out of turn (a resumption's start):
    // true when it differs from the last report.
    bool settle(std::uint64_t total);

private:
    std::uint64_t untilMark(std::uint64_t total) const;

    Now now_;
    std::uint64_t reported_ = 0;
    Clock::time_point reportedAt_;
};

} // namespace quorvane
