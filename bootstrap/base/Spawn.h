#pragma once

// Starting child processes with posix_spawn and an argument vector: never a shell. A child
// starts with nothing blocked and the default SIGPIPE, whatever this process has set up.

#include <chrono>
#include <stop_token>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/types.h>

#include "base/FileIo.h"

namespace quorvane {

class SpawnActions {
public:
    SpawnActions();
    ~SpawnActions();
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    void open(int fd, const char* path, int flags);
    void dup2(int from, int to);
    // Closes every descriptor from `lowest` up in the child (where the C library can).
    void closeFrom(int lowest);
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    // `newSession`: the child leads a session of its own (it outlives us, detached).
    // `ownGroup`: the child leads a process group of its own, so that whatever it starts can be
    // ended with it (see waitForExit).
    explicit SpawnAttributes(bool newSession = false, bool ownGroup = false);
    ~SpawnAttributes();
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// Starts `program` with argv[0] = program and then `args`; `environment` is the whole
// environment, or this process's when null. Throws the platform error when it cannot start.
pid_t spawnProgram(const std::string& program, const std::vector<std::string>& args,
                   const SpawnActions& actions, const SpawnAttributes& attributes,
                   char* const* environment = nullptr);

// How long a child that is asked to end (SIGTERM) has before it is killed (SIGKILL).
inline constexpr std::chrono::milliseconds childGraceTime{2000};

// A descriptor that becomes readable once `stop` is requested, for poll() next to others.
class StopEvent {
public:
    explicit StopEvent(std::stop_token stop);
    // -1 when stop can never be requested.
    int fd() const noexcept { return fd_.get(); }
    bool requested() const noexcept { return stop_.stop_requested(); }

private:
    struct Wake {
        int fd;
        void operator()() const noexcept;
    };
    std::stop_token stop_;
    FileDescriptor fd_;
    std::stop_callback<Wake> callback_;
};

// Waits for the child to end: its exit status, or 128 + the signal that ended it. Without a
// stop request it waits as long as the child runs. When `stop` is requested first, the child
// is ended with endChildGroup and CancellationError is thrown.
int waitForExit(pid_t pid, std::stop_token stop = {});

// Ends a child started with `ownGroup`: SIGTERM to its process group, SIGKILL after the grace
// time (or at once to whatever of the group outlives the child), then reaps the child.
void endChildGroup(pid_t pid) noexcept;

} // namespace quorvane
