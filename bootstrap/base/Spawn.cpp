#include "base/Spawn.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/Cancellation.h"

extern char** environ;

namespace quorvane {
namespace {

void check(int error, const char* what) {
    if (error != 0)
        throw std::system_error(error, std::generic_category(), what);
}

using Clock = std::chrono::steady_clock;

// Watches a child for its end without reaping it, so that its process group id stays taken
// (and cannot name anybody else's group) until we reap it.
class ChildWatch {
public:
    explicit ChildWatch(pid_t pid)
        : pid_(pid), fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}

    // True once the child has ended; false when `wake` became readable first or `timeout`
    // (negative: none) passed.
    bool ended(int wake, std::chrono::milliseconds timeout) const {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            // Without pidfd (kernels before 5.3) the child is looked at every few milliseconds.
            if (!fd_ && hasEnded())
                return true;
            int slice = -1;
            if (timeout.count() >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0)
                    return false;
                slice = static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
            }
            if (!fd_)
                slice = slice < 0 ? 20 : std::min(slice, 20);
            pollfd watched[2] = {{fd_.get(), POLLIN, 0}, {wake, POLLIN, 0}};
            const int n = ::poll(watched, 2, slice);
            if (n < 0 && errno != EINTR)
                throw std::system_error(errno, std::generic_category(), "poll");
            if (n > 0 && watched[0].revents != 0)
                return true;
            if (n > 0 && watched[1].revents != 0)
                return false;
        }
    }

private:
    bool hasEnded() const {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            if (errno != EINTR)
                throw std::system_error(errno, std::generic_category(), "waitid");
        return info.si_pid == pid_;
    }

    pid_t pid_;
    FileDescriptor fd_;
};

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waitpid");
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    // Death by a signal: the shell's convention, never 0.
    return 128 + WTERMSIG(status);
}

} // namespace

SpawnActions::SpawnActions() {
    check(posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init");
}
SpawnActions::~SpawnActions() {
    posix_spawn_file_actions_destroy(&actions_);
}

void SpawnActions::open(int fd, const char* path, int flags) {
    check(posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0),
          "posix_spawn_file_actions_addopen");
}

void SpawnActions::dup2(int from, int to) {
    check(posix_spawn_file_actions_adddup2(&actions_, from, to),
          "posix_spawn_file_actions_adddup2");
}

void SpawnActions::closeFrom([[maybe_unused]] int lowest) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    check(posix_spawn_file_actions_addclosefrom_np(&actions_, lowest),
          "posix_spawn_file_actions_addclosefrom_np");
#endif
}

SpawnAttributes::SpawnAttributes(bool newSession, bool ownGroup) {
    check(posix_spawnattr_init(&attributes_), "posix_spawnattr_init");
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (newSession)
        flags |= POSIX_SPAWN_SETSID;
    if (ownGroup) {
        check(posix_spawnattr_setpgroup(&attributes_, 0), "posix_spawnattr_setpgroup");
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    check(posix_spawnattr_setflags(&attributes_, flags), "posix_spawnattr_setflags");
}
SpawnAttributes::~SpawnAttributes() {
    posix_spawnattr_destroy(&attributes_);
}

pid_t spawnProgram(const std::string& program, const std::vector<std::string>& args,
                   const SpawnActions& actions, const SpawnAttributes& attributes,
                   char* const* environment) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    check(::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                        environment ? environment : environ),
          "posix_spawn");
    return pid;
}

StopEvent::StopEvent(std::stop_token stop)
    : stop_(std::move(stop)),
      fd_(stop_.stop_possible() ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1),
      callback_(stop_, Wake{fd_.get()}) {
    if (stop_.stop_possible() && !fd_)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

void StopEvent::Wake::operator()() const noexcept {
    if (fd < 0)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

int waitForExit(pid_t pid, std::stop_token stop) {
    if (!stop.stop_possible())
        return reap(pid);
    const StopEvent event(std::move(stop));
    const ChildWatch watch(pid);
    while (!watch.ended(event.fd(), std::chrono::milliseconds(-1)))
        if (event.requested()) {
            endChildGroup(pid);
            throw CancellationError{};
        }
    return reap(pid);
}

void endChildGroup(pid_t pid) noexcept {
    try {
        const ChildWatch watch(pid);
        ::kill(-pid, SIGTERM);
        if (!watch.ended(-1, childGraceTime)) {
            ::kill(-pid, SIGKILL);
            watch.ended(-1, std::chrono::milliseconds(-1));
        }
        // The child has ended but is not reaped yet: its group id still names its own group.
        ::kill(-pid, SIGKILL);
        reap(pid);
    } catch (...) {
        // Only a failing poll or waitid ends up here; kill and reap what we can.
        ::kill(-pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

} // namespace quorvane
