#include "MainThread.h"

#include "Task.h"

#include <mutex>

#include <QCoreApplication>
#include <QMetaObject>

namespace quorvane::async {
namespace {

// The application object while it can take posts. A worker may post at any moment, also while
// the application object is being destroyed, so the check and the post happen under one lock,
// and the destructor clears the pointer under the same lock before it takes anything down.
std::mutex mainLoopMutex;
QCoreApplication* mainLoop = nullptr;

void forgetMainLoop() {
    const std::lock_guard lock(mainLoopMutex);
    mainLoop = nullptr;
}

// Runs as each application object is constructed (or at once, when one exists already).
void rememberMainLoop() {
    {
        const std::lock_guard lock(mainLoopMutex);
        mainLoop = QCoreApplication::instance();
    }
    // Post routines run first thing in the application object's destructor.
    qAddPostRoutine(forgetMainLoop);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(rememberMainLoop)

void postToMainThread(std::function<void()> fn) {
    // Without an application object there is no main loop left to run it.
    const std::lock_guard lock(mainLoopMutex);
    if (mainLoop)
        QMetaObject::invokeMethod(mainLoop, std::move(fn), Qt::QueuedConnection);
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
