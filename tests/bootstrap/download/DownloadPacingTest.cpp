#include "download/DownloadPacing.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

using quorvane::DownloadPacing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t MiB = 1 << 20;

// Bytes arriving in equal pieces at equal intervals on an injected clock; the reports made,
// with the final one.
std::vector<std::uint64_t> reportsFor(std::uint64_t total, std::uint64_t piece,
                                      std::chrono::milliseconds interval) {
    DownloadPacing::Clock::time_point now{};
    DownloadPacing pacing([&] { return now; });
    std::vector<std::uint64_t> reports;
    std::uint64_t held = 0;
    std::uint64_t written = 0;
    while (held < total) {
        now += interval;
        const std::uint64_t n = std::min(piece, total - held);
        held = pacing.take(
            held, n, [&](std::uint64_t part) { written += part; },
            [&](std::uint64_t at) { reports.push_back(at); });
    }
    if (pacing.settle(held))
        reports.push_back(held);
    EXPECT_EQ(written, total);
    return reports;
}

std::vector<std::uint64_t> every(std::uint64_t step, std::uint64_t total) {
    std::vector<std::uint64_t> values;
    for (std::uint64_t v = step; v < total; v += step)
        values.push_back(v);
    values.push_back(total);
    return values;
}

} // namespace

TEST(DownloadPacing, ReportsFollowTheBytesAtEverySpeed) {
    const struct {
        const char* name;
        std::uint64_t total;
        std::uint64_t piece;
        std::chrono::milliseconds interval;
        std::vector<std::uint64_t> expected;
    } cases[] = {
        // 50 KB/s in 1 KB pieces: one report every 100 ms, i.e. every 5 KB.
        {"50 KB/s", 200'000, 1000, 20ms, every(5000, 200'000)},
        // Full speed (the clock stands still): one report per MiB, on the MiB, whatever the
        // pieces, and the rest at the end.
        {"full speed, small pieces",
         3 * MiB + 100,
         16 * 1024,
         0ms,
         {MiB, 2 * MiB, 3 * MiB, 3 * MiB + 100}},
        {"full speed, pieces across the marks",
         3 * MiB + 100,
         300'000,
         0ms,
         {MiB, 2 * MiB, 3 * MiB, 3 * MiB + 100}},
        // A tail under 1 MiB at 1 MB/s moves every 100 ms instead of jumping to the end.
        {"tail under 1 MiB", 300'000, 10'000, 10ms, every(100'000, 300'000)},
        // Pieces further apart than 100 ms: each one is reported.
        {"one piece a second", 5 * 4096, 4096, 1000ms, every(4096, 5 * 4096)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reportsFor(c.total, c.piece, c.interval), c.expected);
    }
}

// A start-over reports the fall at once, and the size rule counts again from there.
TEST(DownloadPacing, StartOverReportsTheFallAndCountsFromIt) {
    DownloadPacing pacing([] { return DownloadPacing::Clock::time_point{}; });
    std::vector<std::uint64_t> reports;
    auto record = [&](std::uint64_t at) { reports.push_back(at); };
    auto ignore = [](std::uint64_t) {};
    std::uint64_t held = pacing.take(0, 2 * MiB + 5, ignore, record);
    EXPECT_TRUE(pacing.settle(0));
    EXPECT_FALSE(pacing.settle(0));
    held = pacing.take(0, MiB + 1, ignore, record);
    EXPECT_EQ(held, MiB + 1);
    EXPECT_EQ(reports, (std::vector<std::uint64_t>{MiB, 2 * MiB, MiB}));
}
