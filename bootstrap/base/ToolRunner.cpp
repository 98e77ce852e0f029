#include "base/ToolRunner.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/Cancellation.h"
#include "base/Diagnostics.h"
#include "base/FileIo.h"
#include "base/Spawn.h"

extern char** environ;

namespace quorvane {
namespace {

std::string_view nameOf(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view name = nameOf(*entry);
        bool replaced = false;
        for (const auto& o : overrides)
            replaced = replaced || nameOf(o) == name;
        if (!replaced)
            merged.emplace_back(*entry);
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

namespace {

// Starts the tool with standard output (when `withOutput`) and standard error on one pipe and
// hands every piece read from it to `output` until the tool has ended.
int runWithPipe(const std::string& tool, const std::vector<std::string>& args, char* const* envp,
                bool withOutput, const std::function<void(std::string_view)>& output,
                std::stop_token stop) {
    // Close-on-exec, so that children started meanwhile by other threads do not keep the
    // writing end open and delay end of file.
    std::array<int, 2> ends{};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0)
        throwErrno("pipe2");
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    SpawnActions actions;
    actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    if (withOutput)
        actions.dup2(writeEnd.get(), STDOUT_FILENO);
    else
        actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
    actions.dup2(writeEnd.get(), STDERR_FILENO);
    // Descriptors of other threads that lack close-on-exec must not reach the tool either: a
    // tool that outlives us must never keep a folder lock alive.
    actions.closeFrom(STDERR_FILENO + 1);
    // A group of its own: a cancelled run ends the tool and whatever the tool started.
    const SpawnAttributes attributes(/*newSession=*/false, /*ownGroup=*/true);
    const pid_t pid = spawnProgram(tool, args, actions, attributes, envp);
    writeEnd.reset();
    // The tool's end, not the pipe's: something the tool left running may hold the pipe open.
    const FileDescriptor ended(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    const StopEvent event(stop);
    try {
        std::array<char, 64 * 1024> buffer;
        bool exited = false;
        for (;;) {
            if (!exited) {
                pollfd watched[3] = {
                    {readEnd.get(), POLLIN, 0}, {event.fd(), POLLIN, 0}, {ended.get(), POLLIN, 0}};
                if (::poll(watched, 3, -1) < 0) {
                    if (errno == EINTR)
                        continue;
                    throwErrno("poll");
                }
                if (event.requested())
                    throw CancellationError{};
                if (watched[2].revents != 0) {
                    // Whatever it wrote is in the pipe now: take that, then stop waiting.
                    exited = true;
                    if (::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK) != 0)
                        throwErrno("fcntl");
                } else if (watched[0].revents == 0) {
                    continue;
                }
            }
            const ssize_t n = ::read(readEnd.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                break;
            if (n < 0)
                throwErrno("read");
            if (n == 0)
                break;
            output(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
    } catch (const CancellationError&) {
        // The pipe stays open meanwhile: a tool that reports its end must not die of SIGPIPE
        // instead of hearing SIGTERM.
        endChildGroup(pid);
        throw;
    } catch (...) {
        readEnd.reset(); // the tool then fails its next write instead of blocking
        try {
            waitForExit(pid, stop);
        } catch (...) {
            // Cancelled meanwhile: the tool has been ended; the first fault is the one to report.
        }
        throw;
    }
    return waitForExit(pid, stop);
}

std::string commandLine(const std::string& tool, const std::vector<std::string>& args) {
    std::string text = tool;
    for (const auto& a : args)
        text += " '" + a + "'";
    return text;
}

} // namespace

int runReadingOutput(const std::string& tool, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment,
                     const std::function<void(std::string_view)>& output, std::stop_token stop) {
    std::vector<std::string> envStrings = mergedEnvironment(environment);
    const auto envp = pointersTo(envStrings);
    const int status = runWithPipe(tool, args, envp.data(), true, output, std::move(stop));
    diagnostics::record("tool: " + commandLine(tool, args) + " -> exit status " +
                        std::to_string(status));
    return status;
}

namespace BootstrapSystemInstaller {

int run(const std::string& tool, const std::vector<std::string>& args, std::stop_token stop) {
    // Only the end of what the tool says on standard error is kept, for the log.
    constexpr std::size_t kept = 4096;
    std::string tail;
    const int status = runWithPipe(
        tool, args, nullptr, false,
        [&](std::string_view piece) {
            tail.append(piece);
            if (tail.size() > 2 * kept)
                tail.erase(0, tail.size() - kept);
        },
        std::move(stop));
    if (tail.size() > kept)
        tail.erase(0, tail.size() - kept);
    diagnostics::record("tool: " + commandLine(tool, args) + " -> exit status " +
                        std::to_string(status) + (tail.empty() ? "" : "; stderr: " + tail));
    return status;
}

} // namespace BootstrapSystemInstaller

} // namespace quorvane
