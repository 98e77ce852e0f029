#include "BackgroundPool.h"

#include <algorithm>
#include <climits>

#include <QRunnable>
#include <QThread>
#include <QThreadPool>

namespace quorvane::async {
namespace {

QThreadPool& backgroundPool() {
    // Utility priority: blocking work of the installer must not compete with the window.
    static QThreadPool* pool = [] {
        static QThreadPool instance;
        instance.setThreadPriority(QThread::LowPriority);
        instance.setExpiryTimeout(30'000);
        return &instance;
    }();
    return *pool;
}

} // namespace

bool finishBackgroundWork(std::chrono::milliseconds limit) {
    const auto milliseconds = std::clamp<std::chrono::milliseconds::rep>(limit.count(), 0, INT_MAX);
    return backgroundPool().waitForDone(static_cast<int>(milliseconds));
}

namespace detail {

void submitToBackgroundPool(std::function<void()> job) {
    backgroundPool().start(QRunnable::create(std::move(job)));
}

} // namespace detail
} // namespace quorvane::async
