#include "Completion.h"

#include <QRunnable>
#include <QThread>
#include <QThreadPool>

namespace quorvane::async::detail {

void submitToBackgroundPool(std::function<void()> job) {
    // Utility priority: blocking work of the installer must not compete with the window.
    static QThreadPool* pool = [] {
        static QThreadPool instance;
        instance.setThreadPriority(QThread::LowPriority);
        instance.setExpiryTimeout(30'000);
        return &instance;
    }();
    pool->start(QRunnable::create(std::move(job)));
}

} // namespace quorvane::async::detail
