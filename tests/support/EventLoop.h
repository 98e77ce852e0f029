#pragma once

#include <chrono>
#include <functional>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace quorvane::test {

// Turns the main thread's event loop until `done()` holds or the time runs out.
inline bool spinUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limit.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

} // namespace quorvane::test
