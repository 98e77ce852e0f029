#include "ToolProcess.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BootstrapFailure.h"
#include "FileIo.h"
#include "Spawn.h"

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

int runReadingOutput(const std::string& tool, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment,
                     const std::function<void(std::string_view)>& output, std::stop_token stop) {
    // Close-on-exec, so that children started meanwhile by other threads do not keep the
    // writing end open and delay end of file.
    std::array<int, 2> ends{};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0)
        throwErrno("pipe2");
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);

    SpawnActions actions;
    actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    actions.dup2(writeEnd.get(), STDOUT_FILENO);
    actions.dup2(writeEnd.get(), STDERR_FILENO);
    actions.closeFrom(STDERR_FILENO + 1);
    const SpawnAttributes attributes(/*newSession=*/false, /*ownGroup=*/true);

    std::vector<std::string> envStrings = mergedEnvironment(environment);
    const auto envp = pointersTo(envStrings);
    const pid_t pid = spawnProgram(tool, args, actions, attributes, envp.data());
    writeEnd.reset();

    const StopEvent event(stop);
    try {
        std::array<char, 64 * 1024> buffer;
        for (;;) {
            pollfd watched[2] = {{readEnd.get(), POLLIN, 0}, {event.fd(), POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                throwErrno("poll");
            }
            if (event.requested())
                throw CancellationError{};
            if (watched[0].revents == 0)
                continue;
            const std::size_t n = readSome(readEnd.get(), buffer);
            if (n == 0)
                break;
            output(std::string_view(buffer.data(), n));
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

} // namespace quorvane
