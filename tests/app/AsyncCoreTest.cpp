#include "BackgroundPool.h"
#include "Completion.h"
#include "EventLoop.h"
#include "Process.h"
#include "Task.h"
#include "base/Cancellation.h"
#include "manifest/BootstrapFailure.h"

#include <atomic>
#include <filesystem>
#include <latch>
#include <optional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

using namespace quorvane;
using namespace quorvane::async;
using quorvane::test::spinUntil;

namespace {

struct Probe {
    std::thread::id mainThread = std::this_thread::get_id();
    std::vector<std::thread::id> resumedOn;
    bool finished = false;
};

// Spawns `body` as a root task and turns the event loop until it ends.
TaskHandle runToEnd(Task<void> body, bool& finished) {
    TaskHandle handle = TaskHandle::spawn(std::move(body));
    EXPECT_TRUE(spinUntil([&] { return finished; }));
    EXPECT_TRUE(handle.isDone());
    return handle;
}

// The threads of this process.
std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

} // namespace

TEST(AsyncCore, BackgroundWorkRunsOffTheMainThreadAndResumesOnIt) {
    Probe probe;
    std::thread::id workThread;
    std::optional<std::filesystem::path> path;
    std::optional<std::filesystem::path> none = std::filesystem::path("/should/be/reset");

    auto body = [&]() -> Task<void> {
        co_await runInBackground([&](std::stop_token) { workThread = std::this_thread::get_id(); });
        probe.resumedOn.push_back(std::this_thread::get_id());
        path = co_await runInBackground(
            [](std::stop_token) { return std::optional<std::filesystem::path>("/tmp/x.pkg"); });
        probe.resumedOn.push_back(std::this_thread::get_id());
        none = co_await runInBackground(
            [](std::stop_token) { return std::optional<std::filesystem::path>(); });
        probe.resumedOn.push_back(std::this_thread::get_id());
        probe.finished = true;
    };
    runToEnd(body(), probe.finished);

    EXPECT_NE(workThread, probe.mainThread);
    EXPECT_EQ(path, std::filesystem::path("/tmp/x.pkg"));
    EXPECT_EQ(none, std::nullopt) << "an absent result arrives as a value";
    ASSERT_EQ(probe.resumedOn.size(), 3u);
    for (auto id : probe.resumedOn)
        EXPECT_EQ(id, probe.mainThread);
}

TEST(AsyncCore, ErrorsComeBackUnchanged) {
    bool finished = false;
    std::optional<BootstrapFailure> failure;
    std::optional<std::error_code> code;
    auto body = [&]() -> Task<void> {
        try {
            co_await runInBackground(
                [](std::stop_token) -> int { throw BootstrapFailure::checksum; });
        } catch (const BootstrapFailure& f) {
            failure = f;
        }
        try {
            co_await runInBackground([](std::stop_token) {
                throw std::system_error(ENOSPC, std::generic_category(), "write");
            });
        } catch (const std::system_error& e) {
            code = e.code();
        }
        finished = true;
    };
    runToEnd(body(), finished);
    EXPECT_EQ(failure, BootstrapFailure::checksum);
    EXPECT_EQ(code, std::error_code(ENOSPC, std::generic_category()));
}

TEST(AsyncCore, CancelledCallerWaitsForTheWorkWhichSeesTheStopRequest) {
    std::atomic<bool> workStarted{false};
    std::atomic<bool> workSawStop{false};
    std::atomic<bool> workReturned{false};
    bool finished = false;
    bool returnedAfterWork = false;
    int result = 0;
    bool cancelledAfterwards = false;

    auto body = [&]() -> Task<void> {
        result = co_await runInBackground([&](std::stop_token token) {
            workStarted = true;
            while (!token.stop_requested())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            workSawStop = true;
            // The work carries on after the stop request; the caller must wait for it.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            workReturned = true;
            return 7;
        });
        returnedAfterWork = workReturned.load();
        try {
            co_await checkCancellation();
        } catch (const CancellationError&) {
            cancelledAfterwards = true;
        }
        finished = true;
    };
    TaskHandle handle = TaskHandle::spawn(body());
    ASSERT_TRUE(spinUntil([&] { return workStarted.load(); }));
    handle.cancel();
    EXPECT_TRUE(handle.isCancelled());
    ASSERT_TRUE(spinUntil([&] { return finished; }));
    EXPECT_TRUE(workSawStop);
    EXPECT_TRUE(returnedAfterWork);
    EXPECT_EQ(result, 7) << "the work's result comes back even after a cancel";
    EXPECT_TRUE(cancelledAfterwards);
}

TEST(AsyncCore, AlreadyCancelledCallerPassesTheStopToNewWork) {
    bool finished = false;
    bool sawStop = false;
    auto body = [&]() -> Task<void> {
        sawStop = co_await runInBackground([](std::stop_token t) { return t.stop_requested(); });
        finished = true;
    };
    TaskHandle handle = TaskHandle::spawn(body());
    handle.cancel(); // before the body has begun
    ASSERT_TRUE(spinUntil([&] { return finished; }));
    EXPECT_TRUE(sawStop);
}

TEST(AsyncCore, RootBodyBeginsInALaterTurnAndChildTasksShareTheStopToken) {
    bool began = false;
    bool finished = false;
    bool childSawCancel = false;
    auto child = [&]() -> Task<int> {
        const std::stop_token token = co_await currentStopToken();
        childSawCancel = token.stop_requested();
        co_return 5;
    };
    std::atomic<bool> release{false};
    auto body = [&]() -> Task<void> {
        began = true;
        co_await runInBackground([&](std::stop_token) {
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        auto childTask = child();
        const int five = co_await std::move(childTask);
        EXPECT_EQ(five, 5);
        finished = true;
    };
    TaskHandle handle = TaskHandle::spawn(body());
    EXPECT_FALSE(began) << "spawn must not run the body synchronously";
    ASSERT_TRUE(spinUntil([&] { return began; }));
    handle.cancel();
    release = true;
    ASSERT_TRUE(spinUntil([&] { return finished; }));
    EXPECT_TRUE(childSawCancel);
}

TEST(AsyncCore, CompletionCancelsTheOperationOnceAndDeliversOneOutcome) {
    // An operation completed from another thread; the task is cancelled while it waits.
    bool finished = false;
    std::atomic<int> cancelCalls{0};
    std::shared_ptr<Completion<int>> pending;
    std::optional<int> value;
    auto body = [&]() -> Task<void> {
        value = co_await awaitCompletion<int>(
            [&](std::shared_ptr<Completion<int>> c, std::stop_token) { pending = c; },
            [&] {
                ++cancelCalls;
                std::thread([c = pending] {
                    c->resolve(-1);
                    c->resolve(99); // a second delivery is ignored
                    c->fail(std::make_exception_ptr(std::runtime_error("late")));
                }).detach();
            });
        finished = true;
    };
    TaskHandle handle = TaskHandle::spawn(body());
    ASSERT_TRUE(spinUntil([&] { return pending != nullptr; }));
    handle.cancel();
    handle.cancel();
    ASSERT_TRUE(spinUntil([&] { return finished; }));
    EXPECT_EQ(cancelCalls.load(), 1);
    EXPECT_EQ(value, -1);
}

// A worker's post may race with the application object's destruction: it must either reach the
// main loop or be dropped, never touch an application object that is going or gone.
TEST(AsyncCore, PostsRacingTheApplicationsTeardownAreDroppedSafely) {
    std::string output;
    EXPECT_EQ(quorvane::test::runCommand({QUORVANE_POST_ACROSS_TEARDOWN}, &output), 0) << output;
}

// Finishing waits for work still running, then ends the idle threads, which would otherwise wait
// for more work well past the application object; the pool takes work again afterwards.
TEST(AsyncCore, FinishingTheBackgroundWorkLeavesNoThreadOfThePool) {
    std::atomic<bool> started = false, release = false, ended = false;
    detail::submitToBackgroundPool([&] {
        started = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ended = true;
    });
    ASSERT_TRUE(quorvane::test::spinUntil([&] { return started.load(); }));
    const std::size_t busy = threadCount();
    EXPECT_FALSE(finishBackgroundWork(std::chrono::milliseconds(50))) << "the work still runs";
    release = true;
    EXPECT_TRUE(finishBackgroundWork(std::chrono::seconds(20)));
    EXPECT_TRUE(ended);
    // Qt's threads are detached: the kernel lets one go a moment after its QThread has ended.
    EXPECT_TRUE(
        quorvane::test::spinUntil([&] { return threadCount() < busy; }, std::chrono::seconds(5)))
        << "the pool's thread outlived the finish";

    std::atomic<bool> ranAgain = false;
    detail::submitToBackgroundPool([&] { ranAgain = true; });
    EXPECT_TRUE(finishBackgroundWork(std::chrono::seconds(20)));
    EXPECT_TRUE(ranAgain);
}
