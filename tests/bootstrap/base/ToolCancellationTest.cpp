// A tool run belongs to the task that started it: a stop request ends the tool (SIGTERM, then
// SIGKILL for one that ignores it) and the run ends as cancelled, with nothing left running.

#include "FakeTools.h"
#include "TempDir.h"
#include "base/Cancellation.h"
#include "base/ToolRunner.h"
#include "install/BootstrapSystemInstaller.h"
#include "manifest/BootstrapFailure.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>

#include <sys/wait.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace {

// Records its pid and that of a child it leaves in the background, then waits forever. Its
// SIGTERM handler records the signal and, when the first argument says so, exits.
constexpr std::string_view endless = R"(here=$(dirname "$0")
trap 'echo term >> "$here/term"; [ "$1" = polite ] && exit 0' TERM
sleep 1000 &
echo $! > "$here/grandchild"
echo $$ > "$here/pid.partial" && mv "$here/pid.partial" "$here/pid"
while :; do sleep 0.05; done
)";

using Runner =
    std::function<int(const std::string& tool, const std::string& mode, std::stop_token stop)>;

const struct RunnerCase {
    const char* name;
    Runner run;
} runners[] = {
    {"run",
     [](const std::string& tool, const std::string& mode, std::stop_token stop) {
         return BootstrapSystemInstaller::run(tool, {mode}, std::move(stop));
     }},
    {"runReadingOutput",
     [](const std::string& tool, const std::string& mode, std::stop_token stop) {
         return runReadingOutput(
             tool, {mode}, {}, [](std::string_view) {}, std::move(stop));
     }},
};

pid_t readPid(const fs::path& file) {
    std::ifstream in(file);
    pid_t pid = 0;
    in >> pid;
    return pid;
}

bool waitForFile(const fs::path& file) {
    for (int i = 0; i < 3000 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(10ms);
    return fs::exists(file);
}

// Running, as opposed to gone or a zombie nobody reaped yet.
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

} // namespace

TEST(ToolCancellation, AStopRequestEndsTheToolAndTheRunEndsAsCancelled) {
    for (const auto& runner : runners) {
        for (const std::string mode : {"polite", "stubborn"}) {
            SCOPED_TRACE(std::string(runner.name) + ", " + mode);
            TempDir dir;
            writeScript(dir / "tool", endless);
            std::stop_source source;
            bool cancelled = false;
            std::string other;
            std::thread thread([&] {
                try {
                    const int status =
                        runner.run((dir / "tool").string(), mode, source.get_token());
                    other = "returned " + std::to_string(status);
                } catch (const CancellationError&) {
                    cancelled = true;
                } catch (const std::exception& e) {
                    other = e.what();
                }
            });
            const bool started = waitForFile(dir / "pid");
            source.request_stop();
            thread.join();
            ASSERT_TRUE(started);

            EXPECT_TRUE(cancelled) << other;
            EXPECT_TRUE(fs::exists(dir / "term")) << "SIGTERM never arrived";
            const pid_t pid = readPid(dir / "pid");
            ASSERT_GT(pid, 0);
            // Reaped by the run: no zombie, nothing left to wait for.
            EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
            EXPECT_EQ(errno, ECHILD);
            EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));
            // What the tool started went with it (a signal takes a moment to land).
            const pid_t grandchild = readPid(dir / "grandchild");
            for (int i = 0; i < 1000 && running(grandchild); ++i)
                std::this_thread::sleep_for(10ms);
            EXPECT_FALSE(running(grandchild));
        }
    }
}

TEST(ToolCancellation, WithoutAStopRequestTheRunWaitsForTheToolsOwnEnd) {
    for (const auto& runner : runners) {
        SCOPED_TRACE(runner.name);
        TempDir dir;
        writeScript(dir / "tool", R"(sleep 0.5
echo done; exit "$1"
)");
        std::stop_source source; // stop possible, never requested
        EXPECT_EQ(runner.run((dir / "tool").string(), "9", source.get_token()), 9);
    }
}

TEST(ToolCancellation, AStopRequestedBeforeTheStartStillEndsTheTool) {
    TempDir dir;
    writeScript(dir / "tool", endless);
    std::stop_source source;
    source.request_stop();
    for (const auto& runner : runners) {
        SCOPED_TRACE(runner.name);
        EXPECT_THROW(runner.run((dir / "tool").string(), "stubborn", source.get_token()),
                     CancellationError);
    }
}

TEST(ToolCancellation, OutputReadSoFarReachesTheReaderBeforeTheCancellation) {
    TempDir dir;
    writeScript(dir / "tool", R"(echo first line
exec sleep 1000
)");
    std::stop_source source;
    std::string output;
    std::thread thread([&] {
        EXPECT_THROW(runReadingOutput((dir / "tool").string(), {}, {},
                                      [&](std::string_view piece) {
                                          output += piece;
                                          source.request_stop();
                                      },
                                      source.get_token()),
                     CancellationError);
    });
    thread.join();
    EXPECT_EQ(output, "first line\n");
}
