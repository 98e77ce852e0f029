#include "MainThread.h"

#include "Task.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace quorvane::async {

void postToMainThread(std::function<void()> fn) {
    // Without an application object there is no main loop left to run it.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

TaskHandle TaskHandle::spawn(Task<void> task) {
    TaskHandle handle;
    handle.state_ = std::make_shared<detail::RootState>();
    auto h = task.release();
    h.promise().root = handle.state_;
    h.promise().stopToken = handle.state_->stop.get_token();
    postToMainThread([h] { h.resume(); });
    return handle;
}

} // namespace quorvane::async
